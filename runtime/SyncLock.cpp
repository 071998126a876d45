#include "runtime/SyncLock.h"

#include "runtime/FatalAssert.h"
#include "runtime/LockEvent.h"
#include "base/NtApi.h"

SyncLock::~SyncLock()
{
    CloseLockEvent(gate);
    // `core` closes its own event when it is destroyed after this body.
}

void SyncLock::AcquireShared() noexcept
{
    core.Acquire();
    ++sharedCount;
    core.Release();
}

void SyncLock::ReleaseShared() noexcept
{
    core.Acquire();
    FatalUnless(sharedCount > 0);
    if (--sharedCount == 0 && exclusiveCount != 0)
        ZwSetEvent(EnsureLockEvent(gate, true), nullptr);
    core.Release();
}

void SyncLock::AcquireExclusive() noexcept
{
    core.Acquire();
    ++exclusiveCount;
    while (sharedCount != 0) {
        // Readers must be able to enter and leave while this writer waits, so
        // `core` is not held at the gate.
        core.Release();
        long result = WaitExclusive(EnsureLockEvent(gate, true));
        core.Acquire();
        if (result == -3)
            sharedCount = 0;  // the readers' threads are gone
    }
    // The writer keeps `core` until ReleaseExclusive: readers queue on it.
}

void SyncLock::ReleaseExclusive() noexcept
{
    FatalUnless(exclusiveCount > 0);
    if (--exclusiveCount != 0)
        ZwSetEvent(EnsureLockEvent(gate, true), nullptr);  // another writer waits at the gate
    core.Release();
}
