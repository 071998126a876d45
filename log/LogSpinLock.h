// The logger's spin lock, the type of both of its locks (the buffer lock and
// the file lock, ProcessLog.h). Log calls hold it for a copy into the batch or
// for one write, so a waiter yields the processor and tries again rather than
// sleeping on a kernel object.
//
//   owner   meaning
//   0       free
//   id      held by the thread of that id (taken by compare-and-exchange
//           from 0; released by exchanging 0 into it)
//
// A waiter that finds itself the last thread of the process goes on without
// the lock: nobody is left to release it (a holder terminated during process
// exit). Not recursive.
#pragma once

#include "base/ThreadSafety.h"

#include <windows.h>

#include <atomic>
#include <cstdint>

class OLV_CAPABILITY("mutex") LogSpinLock {
public:
    LogSpinLock() noexcept = default;
    LogSpinLock(const LogSpinLock&) = delete;
    LogSpinLock& operator=(const LogSpinLock&) = delete;

    // Inline fast path, out-of-line wait. (A lock's own body is outside what
    // the analysis can describe; it checks the callers.)
    void Acquire() noexcept OLV_ACQUIRE() OLV_NO_THREAD_SAFETY_ANALYSIS
    {
        uint32_t expected = 0;
        if (!owner.compare_exchange_strong(expected, static_cast<uint32_t>(GetCurrentThreadId())))
            AcquireContended();
    }

    void Release() noexcept OLV_RELEASE() OLV_NO_THREAD_SAFETY_ANALYSIS { owner.exchange(0); }

private:
    void AcquireContended() noexcept;

    std::atomic<uint32_t> owner{0};
};

// Holds a LogSpinLock for a scope.
class OLV_SCOPED_CAPABILITY LogSpinLockHolder {
public:
    explicit LogSpinLockHolder(LogSpinLock& lock) noexcept OLV_ACQUIRE(lock) : lock_(lock) { lock_.Acquire(); }
    ~LogSpinLockHolder() OLV_RELEASE() { lock_.Release(); }
    LogSpinLockHolder(const LogSpinLockHolder&) = delete;
    LogSpinLockHolder& operator=(const LogSpinLockHolder&) = delete;

private:
    LogSpinLock& lock_;
};
