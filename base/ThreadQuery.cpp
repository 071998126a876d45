#include "base/ThreadQuery.h"

#include "base/NtApi.h"

bool IsLastThread() noexcept
{
    ULONG last = 0;
    NTSTATUS status = ZwQueryInformationThread(GetCurrentThread(), OlvThreadAmILastThread, &last, sizeof(last), nullptr);
    return !NtIsError(status) && status >= 0 && last != 0;
}
