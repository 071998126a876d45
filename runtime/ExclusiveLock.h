// Exclusive, non-recursive lock: an atomic count and an auto-reset event that
// is created only when a thread first has to queue. Usable as a process-wide
// global (constant-initialised, no start call) or as a plain member.
//
// Lock word `count` (owners plus queued threads):
//
//   count | meaning                       | next
//   ------+-------------------------------+--------------------------------------
//     0   | free                          | Acquire: 0 -> 1, caller owns it
//     1   | owned, nobody queued          | Release: 1 -> 0, no kernel call
//    n>1  | owned, n-1 threads queued or  | Release: n -> n-1 and one ZwSetEvent;
//         | about to queue on `event`     | the auto-reset event hands ownership
//         |                               | to exactly one queued thread
//
// `event` is null until the first thread has to queue; it is published once by
// compare-and-swap (the thread that loses the race closes its own) and kept
// until the lock is destroyed. A failed creation is a fatal assertion.
//
// A queued thread never waits for ever once it is the last thread of its
// process: see WaitExclusive. It then proceeds as owner.
#pragma once

#include "runtime/MultiProcessor.h"
#include "base/ThreadSafety.h"

#include <windows.h>

#include <atomic>
#include <mutex>

struct OLV_CAPABILITY("mutex") ExclusiveLock {
    std::atomic<HANDLE> event;
    std::atomic<long> count;

    constexpr ExclusiveLock() noexcept : event(nullptr), count(0) {}
    // Closes the event if one was created; the count is not inspected.
    ~ExclusiveLock();

    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

    // Returns when the caller owns the lock. Not recursive. (The analysis
    // checks the callers; a lock's own body is outside what it can describe.)
    void Acquire() noexcept OLV_ACQUIRE() OLV_NO_THREAD_SAFETY_ANALYSIS
    {
        if (MultiProcessor) {
            long expected = 0;
            if (count.compare_exchange_strong(expected, 1, std::memory_order_acquire))
                return;
            AcquireAfterYield();
            return;
        }
        if (count.fetch_add(1, std::memory_order_acquire) + 1 > 1)
            WaitForHandOver();
    }

    // Called by the owner only.
    void Release() noexcept OLV_RELEASE() OLV_NO_THREAD_SAFETY_ANALYSIS
    {
        long remaining = count.fetch_sub(1, std::memory_order_release) - 1;
        if (remaining != 0)
            HandOver(remaining);
    }

private:
    void AcquireAfterYield() noexcept;
    void WaitForHandOver() noexcept;
    // Signals one queued thread; a negative count (released more often than
    // acquired) is a fatal assertion.
    void HandOver(long remaining) noexcept;
};

// Holds an ExclusiveLock for one scope and releases it when the scope ends, also
// when an exception passes. `ExclusiveLockHolder h(lock)` acquires the lock in
// the constructor; `ExclusiveLockHolder h(lock, std::adopt_lock)` takes over a
// lock that the caller has already acquired.
class OLV_SCOPED_CAPABILITY ExclusiveLockHolder {
public:
    explicit ExclusiveLockHolder(ExclusiveLock& lock) noexcept OLV_ACQUIRE(lock) : lock_(&lock) { lock_->Acquire(); }
    ExclusiveLockHolder(ExclusiveLock& lock, std::adopt_lock_t) noexcept OLV_REQUIRES(lock) : lock_(&lock) {}
    ~ExclusiveLockHolder() OLV_RELEASE() { lock_->Release(); }

    ExclusiveLockHolder(const ExclusiveLockHolder&) = delete;
    ExclusiveLockHolder& operator=(const ExclusiveLockHolder&) = delete;

private:
    ExclusiveLock* lock_;
};

// Waits until `event` is signalled, in one-second waits that re-check whether
// the caller has become the last thread of the process.
// Returns 0 when the event was obtained, -1 when the wait failed (logged at
// level 3), -3 when the caller is the last thread and gave up after a further
// 100 ms (logged at level 2).
long WaitExclusive(HANDLE event) noexcept;
