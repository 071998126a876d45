#include "vtapi/StateLock.h"

namespace {

constexpr const wchar_t* StateMutexName = L"OLV_VTAPI_STATE";

}  // namespace

StateLock::StateLock(DWORD timeoutMs) noexcept
{
    mutex_.reset(CreateMutexW(nullptr, FALSE, StateMutexName));
    if (!mutex_.valid()) {
        error_ = GetLastError();
        return;
    }
    DWORD wait = WaitForSingleObject(mutex_.get(), timeoutMs);
    if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) {
        held_ = true;
    } else {
        error_ = wait == WAIT_TIMEOUT ? ERROR_TIMEOUT : GetLastError();
    }
}

StateLock::~StateLock()
{
    if (held_) {
        DWORD savedError = GetLastError();
        ReleaseMutex(mutex_.get());
        SetLastError(savedError);
    }
}
