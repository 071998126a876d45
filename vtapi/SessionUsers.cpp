#include "vtapi/SessionUsers.h"

#include "base/InstalledSeam.h"
#include "base/UniqueHandle.h"

#include <sddl.h>


namespace {

using QueryUserTokenFn = BOOL(WINAPI*)(ULONG, PHANDLE);

// WTSQueryUserToken, looked up once. Loaded from the system folder only: a
// host running as LocalSystem must never pick up a DLL planted beside its
// executable or on the usual search path.
QueryUserTokenFn QueryUserToken()
{
    static const QueryUserTokenFn function = []() -> QueryUserTokenFn {
        HMODULE module = LoadLibraryExW(L"wtsapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        return module ? reinterpret_cast<QueryUserTokenFn>(
                            reinterpret_cast<void (*)()>(GetProcAddress(module, "WTSQueryUserToken")))
                      : nullptr;
    }();
    return function;
}

// The token's user as a SID string.
DWORD TokenUserSid(HANDLE token, std::wstring& sid)
{
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size))
        return GetLastError();
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text))
        return GetLastError();
    DWORD error = ERROR_SUCCESS;
    try {
        sid = text;
    } catch (...) {
        error = ERROR_NOT_ENOUGH_MEMORY;
    }
    LocalFree(text);
    return error;
}

}  // namespace

SessionUsers& SessionUsers::Current()
{
    return InstalledSeam<SessionUsers>::Current();
}

void SessionUsers::Install(SessionUsers* users)
{
    InstalledSeam<SessionUsers>::Install(users);
}

DWORD SessionUsers::UserOf(uint32_t session, std::wstring& sid)
{
    UniqueToken token;
    DWORD error = ERROR_PROC_NOT_FOUND;
    if (QueryUserTokenFn query = QueryUserToken()) {
        HANDLE raw = nullptr;
        error = query(session, &raw) ? ERROR_SUCCESS : GetLastError();
        if (error == ERROR_SUCCESS)
            token.reset(raw);
    }
    if (!token.valid()) {
        // Only LocalSystem may ask for a session's user token. Any other
        // process may still serve its own session: its user is the one
        // logged on there.
        DWORD own = 0;
        if (error == ERROR_PRIVILEGE_NOT_HELD && ProcessIdToSessionId(GetCurrentProcessId(), &own) && own == session &&
            !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()))
            return GetLastError();
        if (!token.valid())
            return error == ERROR_NO_TOKEN ? static_cast<DWORD>(ERROR_NO_SUCH_LOGON_SESSION) : error;
    }
    return TokenUserSid(token.get(), sid);
}
