#include "rux/sink/SinkService.h"

#include "rux/item/ItemCodec.h"

#include "contracts/RuxApi.h"
#include "contracts/RuxExtensions.h"

#include <new>

namespace rux {
namespace {

// A queued message's own slot, beside its item.
constexpr size_t MessageSlotBytes = sizeof(QueuedMessage);

}  // namespace

SinkService::SinkService(std::string sinkName, std::string name, uint32_t id, HANDLE event, size_t budgetBytes)
    : sinkName_(std::move(sinkName)), name_(std::move(name)), id_(id), budget_(budgetBytes), event_(event)
{
}

SinkService::~SinkService()
{
    Stop();
}

Delivery SinkService::Deliver(FrameKind kind, const void* body, size_t size, std::shared_ptr<const CallSender> sender)
{
    if (!budget_.TryCharge(MessageSlotBytes))
        return Delivery::OverBudget;
    QueuedMessage message;
    message.kind = PopResult(kind);
    message.sender = std::move(sender);
    switch (ItemCodec::Decode(body, size, DecodeLimits{ItemCodec::ItemBoundBytes(size), &budget_}, message.item,
                              message.bytes)) {
    case DecodeResult::Ok: break;
    case DecodeResult::Malformed: budget_.Refund(MessageSlotBytes); return Delivery::Malformed;
    case DecodeResult::OverItemBound: budget_.Refund(MessageSlotBytes); return Delivery::OverItemBound;
    case DecodeResult::OverBudget: budget_.Refund(MessageSlotBytes); return Delivery::OverBudget;
    case DecodeResult::OutOfMemory: budget_.Refund(MessageSlotBytes); return Delivery::OutOfMemory;
    }
    message.bytes += MessageSlotBytes;
    {
        MutexHolder hold(mutex_);
        bool queued = false;
        bool stopped = stopped_;
        if (!stopped) {
            try {
                queue_.push_back(std::move(message));
                queued = true;
            } catch (const std::bad_alloc&) {
            }
        }
        if (!queued) {
            hold.Unlock();
            budget_.Refund(message.bytes);
            return stopped ? Delivery::Stopped : Delivery::OutOfMemory;
        }
        // One signal per pop is enough: an application that has not popped
        // since the last one is still to wake up (or is draining), and an
        // auto-reset event does not count signals anyway.
        if (signalPending_)
            return Delivery::Queued;
        signalPending_ = true;
    }
    // Set after the queue lock is released, so that the woken application
    // pops at once instead of waiting for this thread to leave the lock; the
    // message is already queued. Stop closes the event under the event lock,
    // so it is never set after it was closed.
    MutexHolder event(eventMutex_);
    if (event_.valid())
        SetEvent(event_.get());
    return Delivery::Queued;
}

bool SinkService::TakeNext(QueuedMessage& message)
{
    {
        MutexHolder hold(mutex_);
        signalPending_ = false;
        if (queue_.empty())
            return false;
        message = std::move(queue_.front());
        queue_.pop_front();
    }
    budget_.Refund(message.bytes);
    return true;
}

void SinkService::Stop()
{
    std::deque<QueuedMessage> dropped;
    {
        MutexHolder hold(mutex_);
        if (stopped_)
            return;
        stopped_ = true;
        dropped.swap(queue_);
    }
    for (const QueuedMessage& message : dropped)
        budget_.Refund(message.bytes);
    MutexHolder event(eventMutex_);
    event_.reset();
}

int32_t SinkService::PopResult(FrameKind kind)
{
    switch (kind) {
    case FrameKind::Call: return RuxResult_Call;
    case FrameKind::Query: return RuxResult_Query;
    case FrameKind::Advise: return RuxResult_Advise;
    case FrameKind::Update: return RuxResult_Update;
    default: return RuxResult_Reply;
    }
}

}  // namespace rux
