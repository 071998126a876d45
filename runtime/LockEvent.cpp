#include "runtime/LockEvent.h"

#include "runtime/FatalAssert.h"
#include "base/NtApi.h"

HANDLE EnsureLockEvent(std::atomic<HANDLE>& field, bool initiallySignalled) noexcept
{
    HANDLE current = field.load(std::memory_order_acquire);
    if (current)
        return current;

    HANDLE created = nullptr;
    NTSTATUS status = ZwCreateEvent(&created, OlvEventAllAccess, nullptr, OlvSynchronizationEvent,
                                    initiallySignalled ? TRUE : FALSE);
    FatalUnless(status >= 0 && created != nullptr);

    HANDLE expected = nullptr;
    if (field.compare_exchange_strong(expected, created, std::memory_order_acq_rel))
        return created;
    // Another thread published first; ours was never seen by anyone.
    FatalUnless(ZwClose(created) >= 0);
    FatalUnless(expected != nullptr);
    return expected;
}

void CloseLockEvent(std::atomic<HANDLE>& field) noexcept
{
    HANDLE event = field.exchange(nullptr, std::memory_order_acq_rel);
    if (event)
        FatalUnless(ZwClose(event) >= 0);
}
