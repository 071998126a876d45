// Shared/exclusive lock built on an ExclusiveLock (`core`), two counts guarded
// by it, and an auto-reset event `gate` that is created signalled, lazily.
// Usable as a process-wide global (constant-initialised) or as a plain member.
// Neither mode is recursive, and a shared holder must not ask for exclusive
// ownership.
//
//   state                 | core      | sharedCount | exclusiveCount
//   ----------------------+-----------+-------------+----------------
//   free                  | free      | 0           | 0
//   n readers             | free      | n           | 0
//   writer waits at gate  | free      | n > 0       | >= 1
//   writer owns           | held by   | 0           | >= 1 (others
//                         | the writer|             |  wait on core)
//
// The last ReleaseShared signals `gate` when a writer is counted; a writer that
// leaves signals it when another writer is still counted. A writer that is the
// last thread of the process and cannot pass the gate within 100 ms forces
// sharedCount to 0 (the readers' threads are gone) and owns the lock.
#pragma once

#include "runtime/ExclusiveLock.h"

struct OLV_CAPABILITY("shared mutex") SyncLock {
    ExclusiveLock core;
    long sharedCount OLV_GUARDED_BY(core);
    long exclusiveCount OLV_GUARDED_BY(core);
    std::atomic<HANDLE> gate;

    constexpr SyncLock() noexcept : core(), sharedCount(0), exclusiveCount(0), gate(nullptr) {}
    // Closes `gate` if it was created, then `core`'s event.
    ~SyncLock();

    SyncLock(const SyncLock&) = delete;
    SyncLock& operator=(const SyncLock&) = delete;

    // A lock's own bodies are outside what the analysis can describe: they
    // take `core` for the caller's shared or exclusive ownership of the whole.
    void AcquireShared() noexcept OLV_ACQUIRE_SHARED() OLV_NO_THREAD_SAFETY_ANALYSIS;
    void ReleaseShared() noexcept OLV_RELEASE_SHARED() OLV_NO_THREAD_SAFETY_ANALYSIS;
    void AcquireExclusive() noexcept OLV_ACQUIRE() OLV_NO_THREAD_SAFETY_ANALYSIS;
    void ReleaseExclusive() noexcept OLV_RELEASE() OLV_NO_THREAD_SAFETY_ANALYSIS;
};

// Scoped holders: each acquires in its constructor and releases in its
// destructor, also when an exception passes.
class OLV_SCOPED_CAPABILITY SharedLockHolder {
public:
    explicit SharedLockHolder(SyncLock& lock) noexcept OLV_ACQUIRE_SHARED(lock) : lock_(&lock)
    {
        lock_->AcquireShared();
    }
    ~SharedLockHolder() OLV_RELEASE() { lock_->ReleaseShared(); }
    SharedLockHolder(const SharedLockHolder&) = delete;
    SharedLockHolder& operator=(const SharedLockHolder&) = delete;

private:
    SyncLock* lock_;
};

class OLV_SCOPED_CAPABILITY ExclusiveSyncLockHolder {
public:
    explicit ExclusiveSyncLockHolder(SyncLock& lock) noexcept OLV_ACQUIRE(lock) : lock_(&lock)
    {
        lock_->AcquireExclusive();
    }
    ~ExclusiveSyncLockHolder() OLV_RELEASE() { lock_->ReleaseExclusive(); }
    ExclusiveSyncLockHolder(const ExclusiveSyncLockHolder&) = delete;
    ExclusiveSyncLockHolder& operator=(const ExclusiveSyncLockHolder&) = delete;

private:
    SyncLock* lock_;
};
