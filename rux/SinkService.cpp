#include "rux/SinkService.h"

#include "rux/ReadLease.h"
#include "rux/Trace.h"

#include "plugin/contracts/RuxApi.h"
#include "rux/RuxExtensions.h"

#include <algorithm>

namespace rux {

SinkService::SinkService(std::string sinkName, std::string name, uint32_t id, HANDLE event)
    : sinkName_(std::move(sinkName)), name_(std::move(name)), id_(id), event_(event)
{
}

SinkService::~SinkService()
{
    Stop();
}

bool SinkService::Enqueue(int32_t kind, ItemPtr item)
{
    std::unique_lock<std::mutex> hold(mutex_);
    if (stopped_)
        return false;
    if (queue_.size() >= MaxQueuedMessages) {
        // The trace callback never runs under one of our locks.
        hold.unlock();
        Trace::Line("Rux: sink '%s' service '%s': queue full, message dropped", sinkName_.c_str(), name_.c_str());
        return false;
    }
    queue_.push_back(QueuedMessage{kind, std::move(item)});
    // One signal per pop is enough: an application that has not popped since
    // the last one is still to wake up (or is draining), and an auto-reset
    // event does not count signals anyway.
    if (signalPending_)
        return true;
    signalPending_ = true;
    // Set after the queue lock is released, so that the woken application
    // pops at once instead of waiting for this thread to leave the lock;
    // the message is already queued. Stop closes the event under the event
    // lock, so it is never set after it was closed.
    hold.unlock();
    std::lock_guard<std::mutex> event(eventMutex_);
    if (event_)
        SetEvent(event_);
    return true;
}

bool SinkService::TakeNext(QueuedMessage& message)
{
    std::lock_guard<std::mutex> hold(mutex_);
    signalPending_ = false;
    if (queue_.empty())
        return false;
    message = std::move(queue_.front());
    queue_.pop_front();
    return true;
}

void SinkService::Stop()
{
    // The leases first: their reads use the event closed below.
    std::vector<std::shared_ptr<ReadLease>> leases;
    {
        std::lock_guard<std::mutex> hold(leaseMutex_);
        leasesClosed_ = true;
        leases.swap(leases_);
    }
    for (auto& lease : leases)
        lease->Reclaim();
    std::deque<QueuedMessage> dropped;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (stopped_)
            return;
        stopped_ = true;
        dropped.swap(queue_);
    }
    std::lock_guard<std::mutex> event(eventMutex_);
    if (event_)
        CloseHandle(event_);
    event_ = nullptr;
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

bool SinkService::AddLease(std::shared_ptr<ReadLease> lease)
{
    {
        std::lock_guard<std::mutex> event(eventMutex_);
        if (!event_)
            return false;
    }
    std::lock_guard<std::mutex> hold(leaseMutex_);
    if (leasesClosed_)
        return false;
    leases_.push_back(std::move(lease));
    return true;
}

bool SinkService::Drained()
{
    std::lock_guard<std::mutex> hold(mutex_);
    return !stopped_ && !signalPending_ && queue_.empty();
}

void SinkService::RemoveLease(const ReadLease* lease)
{
    std::lock_guard<std::mutex> hold(leaseMutex_);
    leases_.erase(std::remove_if(leases_.begin(), leases_.end(),
                                 [lease](const std::shared_ptr<ReadLease>& held) { return held.get() == lease; }),
                  leases_.end());
}

void SinkService::PumpLeases()
{
    std::vector<std::shared_ptr<ReadLease>> leases;
    {
        std::lock_guard<std::mutex> hold(leaseMutex_);
        if (leases_.empty())
            return;
        leases = leases_;
    }
    // Bounded, so that a flood on one connection cannot hold the pop forever;
    // what is left is popped next time.
    int budget = 256;
    // Issuing a read resets the event, which may drop the signal of another
    // lease's read finished just before: so the leases are looked at again
    // until a whole pass finds nothing finished.
    for (bool progress = true; progress && budget > 0;) {
        progress = false;
        for (auto& lease : leases)
            progress = lease->Pump(*this, budget) || progress;
        if (leases.size() == 1)
            break;
    }
}

bool SinkService::EnqueueQuiet(int32_t kind, ItemPtr& item)
{
    std::lock_guard<std::mutex> hold(mutex_);
    if (stopped_ || queue_.size() >= MaxQueuedMessages)
        return false;
    queue_.push_back(QueuedMessage{kind, std::move(item)});
    return true;
}

HANDLE SinkService::ReadEvent()
{
    std::lock_guard<std::mutex> event(eventMutex_);
    return event_;
}

}  // namespace rux
