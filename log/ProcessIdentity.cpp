#include "log/ProcessIdentity.h"

ProcessIdentity::ProcessIdentity() noexcept
{
    const DWORD savedError = GetLastError();
    HANDLE token = nullptr;
    if (OpenThreadToken(GetCurrentThread(), TOKEN_IMPERSONATE, TRUE, &token)) {
        saved.reset(token);
        if (!SetThreadToken(nullptr, nullptr)) {
            saved.reset();
            acting = false;
        }
    } else if (GetLastError() != ERROR_NO_TOKEN) {
        acting = false;
    }
    SetLastError(savedError);
}

ProcessIdentity::~ProcessIdentity()
{
    if (!saved.valid())
        return;
    const DWORD savedError = GetLastError();
    SetThreadToken(nullptr, saved.get());
    SetLastError(savedError);
}
