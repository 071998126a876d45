#include "vtapi/StateLock.h"

namespace {

constexpr const wchar_t* StateMutexName = L"OLV_VTAPI_STATE";

}  // namespace

StateLock::StateLock(DWORD timeoutMs) noexcept
{
    mutex_ = CreateMutexW(nullptr, FALSE, StateMutexName);
    if (!mutex_) {
        error_ = GetLastError();
        return;
    }
    DWORD wait = WaitForSingleObject(mutex_, timeoutMs);
    if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) {
        held_ = true;
    } else {
        error_ = wait == WAIT_TIMEOUT ? ERROR_TIMEOUT : GetLastError();
    }
}

StateLock::~StateLock()
{
    DWORD savedError = GetLastError();
    if (held_)
        ReleaseMutex(mutex_);
    if (mutex_)
        CloseHandle(mutex_);
    SetLastError(savedError);
}
