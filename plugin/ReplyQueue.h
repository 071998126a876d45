// The answers to queries that wait for a reply thread, and those in flight,
// with the bounds that keep one sender from crowding out the others:
//   MaxInFlightPerSender (2)   in flight of one sender process: its stalled
//                              targets leave threads for the others
//   one per target             in flight to one sink
//   MaxPerSender (16)          queued and in flight of one sender
//   MaxQueued (64)             queued
//   BudgetBytes (1 MiB)        what the items of queued and in-flight replies
//                              take (RuxGetItemSize)
// and the targets held back after a failed exchange (ReplyBackoff). Targets
// are sink names in lower case (ReplyBackoff::TargetKey): pipe names ignore
// case.
//
// Not locked, and no I/O, wait or log line: its owner (ReplyPool) holds its
// mutex around every call.
#pragma once

#include "contracts/RuxExtensions.h"
#include "plugin/ReplyBackoff.h"
#include "plugin/UniqueRuxItem.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>

// One answer to a query, ready to go.
struct ReplyJob {
    RuxCallSender sender{};  // who asked (RuxGetCallSender)
    std::string sink;        // the query's "source"
    std::string service;     // its "service"
    UniqueRuxItem held;      // {"proc", "cookie"}: copies of the query's, handed back
    UniqueRuxItem result;    // the answer
    size_t bytes = 0;        // what `held` and `result` take
};

class ReplyQueue {
public:
    static constexpr unsigned MaxInFlightPerSender = 2;
    static constexpr size_t MaxPerSender = 16;
    static constexpr size_t MaxQueued = 64;
    static constexpr size_t BudgetBytes = 1u << 20;

    struct Entry {
        ReplyJob job;
        std::string target;  // ReplyBackoff::TargetKey(job.sink)
    };

    enum class Refusal {
        None,
        BackingOff,  // the target failed lately; `number`: how many ms ago
        SenderFull,  // `number`: the sender's replies pending
        QueueFull,   // `number`: the replies queued
        OverBudget,  // `number`: the bytes of the replies pending
    };

    // Whether a reply of `bytes` from `process` to `target` may be queued at
    // `now` (GetTickCount64).
    Refusal Check(DWORD process, const std::string& target, size_t bytes, ULONGLONG now, ULONGLONG& number) const;
    // Queues `entry` without checking it. Throws std::bad_alloc, and then
    // nothing is counted.
    void Push(Entry entry);
    // The first queued reply that may go at `now`: a reply whose target is
    // held back comes out as `dropped` (failed `agoMs` before), and is not
    // counted in flight. False when none may go.
    bool Take(ULONGLONG now, Entry& taken, bool& dropped, ULONGLONG& agoMs);
    // Counts a taken reply out; `failed` holds its target back from `now`.
    void Finish(const Entry& done, bool wasInFlight, bool failed, ULONGLONG now) noexcept;
    // Empties the queue; replies in flight stay counted until they finish.
    std::deque<Entry> DropQueued() noexcept;

    size_t Queued() const noexcept { return queue_.size(); }
    size_t Bytes() const noexcept { return bytes_; }
    size_t Pending(DWORD process) const noexcept;

private:
    struct SenderCount {
        size_t pending = 0;  // queued and in flight
        unsigned inFlight = 0;
    };

    // Counts one of `process`'s replies of `bytes` out.
    void CountOut(DWORD process, size_t bytes, bool wasInFlight) noexcept;

    std::deque<Entry> queue_;
    std::map<DWORD, SenderCount> senders_;
    std::set<std::string> targetsInFlight_;
    size_t bytes_ = 0;
    ReplyBackoff backoff_;
};
