#include "log/LogSpinLock.h"

#include "base/NtApi.h"
#include "base/ThreadQuery.h"

void LogSpinLock::AcquireContended() noexcept
{
    const auto self = static_cast<uint32_t>(GetCurrentThreadId());
    for (;;) {
        // Asked before each yield: the holder may have been terminated while
        // this thread waited, and then nothing else ends the wait.
        if (IsLastThread())
            return;
        ZwYieldExecution();
        uint32_t expected = 0;
        if (owner.compare_exchange_strong(expected, self))
            return;
    }
}
