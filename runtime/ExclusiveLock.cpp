#include "runtime/ExclusiveLock.h"

#include "log/OlvLog.h"
#include "runtime/FatalAssert.h"
#include "runtime/LockEvent.h"
#include "base/NtApi.h"
#include "base/ThreadQuery.h"

ExclusiveLock::~ExclusiveLock()
{
    CloseLockEvent(event);
}

void ExclusiveLock::AcquireAfterYield() noexcept
{
    // Give a short critical section on another processor the chance to end
    // before this thread commits itself to the queue.
    ZwYieldExecution();
    if (count.fetch_add(1, std::memory_order_acq_rel) + 1 > 1)
        WaitForHandOver();
}

void ExclusiveLock::WaitForHandOver() noexcept
{
    // The count already includes this thread, so the releasing owner will
    // signal the event exactly once for it. Whatever the wait returns, this
    // thread proceeds as owner: a failed wait is logged, and a last thread has
    // nobody left to hand the lock over.
    WaitExclusive(EnsureLockEvent(event, false));
}

void ExclusiveLock::HandOver(long remaining) noexcept
{
    FatalUnless(remaining > 0);
    ZwSetEvent(EnsureLockEvent(event, false), nullptr);
}

long WaitExclusive(HANDLE event) noexcept
{
    for (;;) {
        if (!IsLastThread()) {
            LARGE_INTEGER oneSecond;
            oneSecond.QuadPart = -10'000'000;
            NTSTATUS status = ZwWaitForSingleObject(event, FALSE, &oneSecond);
            if (status == STATUS_TIMEOUT)
                continue;
            if (status == STATUS_SUCCESS)
                return 0;
            OlvLog_Print(OlvLogError, L"WaitExclusive(0x%x)- 0x%x",
                         static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(event)), static_cast<unsigned>(status));
            return -1;
        }

        LARGE_INTEGER hundredMs;
        hundredMs.QuadPart = -1'000'000;
        NTSTATUS status = ZwWaitForSingleObject(event, FALSE, &hundredMs);
        if (status == STATUS_SUCCESS)
            return 0;
        if (IsLastThread()) {
            OlvLog_Print(OlvLogInfo, L"WaitExclusive(0x%x) - 0x%x [I'm last thread]",
                         static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(event)), static_cast<unsigned>(status));
            return -3;
        }
    }
}
