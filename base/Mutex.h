// The standard library's mutex as a lock the thread-safety analysis knows, and
// its scoped holder: the same behaviour and cost as std::mutex and
// std::lock_guard, which carry no annotations. For code that uses the standard
// lock rather than ExclusiveLock (Rux.dll, the logger's opener and closer, the
// client's trace bookkeeping).
#pragma once

#include "base/ThreadSafety.h"

#include <mutex>

class OLV_CAPABILITY("mutex") Mutex {
public:
    Mutex() noexcept = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    // Not recursive. (A lock's own body is outside what the analysis can
    // describe; it checks the callers.)
    void Lock() OLV_ACQUIRE() OLV_NO_THREAD_SAFETY_ANALYSIS { mutex_.lock(); }
    void Unlock() OLV_RELEASE() OLV_NO_THREAD_SAFETY_ANALYSIS { mutex_.unlock(); }

private:
    std::mutex mutex_;
};

// Holds a Mutex from its construction to the end of the scope, also when an
// exception passes; Unlock gives it up early, and the destructor then does
// nothing.
class OLV_SCOPED_CAPABILITY MutexHolder {
public:
    explicit MutexHolder(Mutex& mutex) OLV_ACQUIRE(mutex) : mutex_(&mutex) { mutex_->Lock(); }
    ~MutexHolder() OLV_RELEASE()
    {
        if (mutex_)
            mutex_->Unlock();
    }
    MutexHolder(const MutexHolder&) = delete;
    MutexHolder& operator=(const MutexHolder&) = delete;

    void Unlock() OLV_RELEASE()
    {
        mutex_->Unlock();
        mutex_ = nullptr;
    }

private:
    Mutex* mutex_;
};
