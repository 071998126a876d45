// A started service inside one of our sinks: the queue of messages that its
// connections deliver, and the event that tells the application about them.
#pragma once

#include "rux/Frame.h"
#include "rux/ItemNode.h"

#include <windows.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace rux {

class ReadLease;

// A service that is not drained holds at most this many messages; newer ones
// are dropped with a trace line rather than exhausting memory.
constexpr size_t MaxQueuedMessages = 65536;

struct QueuedMessage {
    int32_t kind;  // the RuxPopCall result
    ItemPtr item;
};

class SinkService {
public:
    // Takes ownership of `event`, a duplicate of the application's event.
    SinkService(std::string sinkName, std::string name, uint32_t id, HANDLE event);
    ~SinkService();
    SinkService(const SinkService&) = delete;
    SinkService& operator=(const SinkService&) = delete;

    const std::string& Name() const { return name_; }
    uint32_t Id() const { return id_; }

    // Queues a message and sets the event unless a signal is already pending
    // (set, with no pop since): the application drains the queue until it is
    // empty on each wake. False (with a trace line) when the service is
    // stopped or its queue is full.
    bool Enqueue(int32_t kind, ItemPtr item);
    bool TakeNext(QueuedMessage& message);
    // Takes back the connections lent to this service, drops what is queued
    // and closes the event; later deliveries and leases are refused.
    void Stop();

    // The RuxPopCall result of a message frame.
    static int32_t PopResult(FrameKind kind);

    // Connections lent to the popping thread (see ReadLease). AddLease is
    // false once the service stopped or when it has no event.
    bool AddLease(std::shared_ptr<ReadLease> lease);
    // True when everything signalled was popped and the queue is empty: the
    // application is then most likely waiting on its event.
    bool Drained();
    void RemoveLease(const ReadLease* lease);
    // The popping thread: collects and queues what the lent connections read,
    // and reads on. Called under popLock.
    void PumpLeases();
    // Queues a message read by the popping thread itself: no signal (it pops
    // next) and no trace line; false, with `item` kept, when refused.
    bool EnqueueQuiet(int32_t kind, ItemPtr& item);
    // The event for a lent connection's read (null once stopped); valid while
    // the lease is registered, as Stop takes every lease back before closing.
    HANDLE ReadEvent();

    // Serialises RuxPopCall and RuxStopService on this service. `popped` is the
    // handle of the call handed out last, which lives until the next pop.
    std::mutex popLock;
    uint64_t popped = 0;

private:
    const std::string sinkName_;
    const std::string name_;
    const uint32_t id_;
    std::mutex mutex_;  // guards the queue, `stopped_` and `signalPending_`
    std::deque<QueuedMessage> queue_;
    bool stopped_ = false;
    bool signalPending_ = false;  // the event was set and nothing popped since
    // Guards the use and the close of event_, and nothing else: setting the
    // event is a system call, and the application's pop, woken by it, must
    // not find the queue locked meanwhile.
    std::mutex eventMutex_;
    HANDLE event_;
    std::mutex leaseMutex_;  // guards the two below
    std::vector<std::shared_ptr<ReadLease>> leases_;
    bool leasesClosed_ = false;
};

}  // namespace rux
