// A started service inside one of our sinks: the queue of messages that its
// connections deliver, and the event that tells the application about them.
//
// The queue is bounded in bytes, not in messages: at most its budget
// (QueueBudgetBytes) of decoded items, as ItemNode estimates their heap, and
// of the messages' own slots. Items still being decoded for the service count
// too, so that connections decoding at once cannot pass it together. A
// message that would pass the budget is dropped before the allocation that
// would pass it, and the connection that sent it is closed (SinkConnection).
#pragma once

#include "base/Mutex.h"
#include "base/UniqueHandle.h"
#include "rux/item/ByteBudget.h"
#include "rux/security/CallSender.h"
#include "rux/wire/Frame.h"
#include "rux/item/ItemNode.h"

#include <windows.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

namespace rux {

constexpr size_t QueueBudgetBytes = 64u << 20;

struct QueuedMessage {
    int32_t kind = 0;   // the RuxPopCall result
    ItemPtr item;
    size_t bytes = 0;   // what it holds of the budget
    std::shared_ptr<const CallSender> sender;  // the connection's, shared by its messages
};

// What became of a delivered message.
enum class Delivery {
    Queued,
    Malformed,      // dropped; the connection goes on
    OverItemBound,  // dropped; the connection is closed
    OverBudget,     // dropped; the connection is closed
    OutOfMemory,    // dropped; the connection is closed
    Stopped,        // dropped: the service is stopping
};

class SinkService {
public:
    // Takes ownership of `event`, a duplicate of the application's event.
    SinkService(std::string sinkName, std::string name, uint32_t id, HANDLE event,
                size_t budgetBytes = QueueBudgetBytes);
    ~SinkService();
    SinkService(const SinkService&) = delete;
    SinkService& operator=(const SinkService&) = delete;

    const std::string& Name() const { return name_; }
    uint32_t Id() const { return id_; }

    // Decodes the item of a message frame within its bound and the budget,
    // queues it and sets the event unless a signal is already pending (set,
    // with no pop since): the application drains the queue until it is empty
    // on each wake. Never throws.
    Delivery Deliver(FrameKind kind, const void* body, size_t size,
                     std::shared_ptr<const CallSender> sender = nullptr) OLV_EXCLUDES(mutex_, eventMutex_);
    // The oldest message, whose bytes go back to the budget; false when the
    // queue is empty. Either way the pending signal is cleared.
    bool TakeNext(QueuedMessage& message) OLV_EXCLUDES(mutex_);
    // Drops what is queued and closes the event; later deliveries are refused.
    void Stop() OLV_EXCLUDES(mutex_, eventMutex_);

    // The RuxPopCall result of a message frame.
    static int32_t PopResult(FrameKind kind);
    const ByteBudget& Budget() const { return budget_; }

private:
    const std::string sinkName_;
    const std::string name_;
    const uint32_t id_;
    ByteBudget budget_;
    Mutex mutex_;  // guards the queue, `stopped_` and `signalPending_`
    std::deque<QueuedMessage> queue_ OLV_GUARDED_BY(mutex_);
    bool stopped_ OLV_GUARDED_BY(mutex_) = false;
    bool signalPending_ OLV_GUARDED_BY(mutex_) = false;  // the event was set and nothing popped since
    // Guards the use and the close of event_, and nothing else: setting the
    // event is a system call, and the application's pop, woken by it, must
    // not find the queue locked meanwhile.
    Mutex eventMutex_;
    UniqueEvent event_ OLV_GUARDED_BY(eventMutex_);
};

}  // namespace rux
