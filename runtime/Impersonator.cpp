#include "runtime/Impersonator.h"

#include "log/OlvLog.h"
#include "base/UniqueHandle.h"

namespace {

// The module's source path as the failure lines name it; the line tags below
// identify the call that failed.
constexpr const char* SourcePath = ".\\Impersonator";

enum LineTag : unsigned {
    TagSaveAtScope = 17,
    TagRevertAtScope = 20,
    TagRestoreSaved = 28,
    TagCloseSaved = 29,
    TagImpersonate = 40,
    TagRevertAtEnd = 47,
};

void LogFailedCall(unsigned tag)
{
    DWORD error = GetLastError();
    OlvLog_Print(OlvLogError, L"OLV_LOG_WIN32_CALL: '%S': %u %u", SourcePath, tag, error);
}

template <typename Fn>
Fn LookUp(HMODULE module, const char* name)
{
    if (!module)
        return nullptr;
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

}  // namespace

HANDLE GetSessionUserToken(uint32_t& sessionId)
{
    if (sessionId == 0xFFFFFFFF) {
        using ActiveSessionFn = DWORD(WINAPI*)();
        auto active = LookUp<ActiveSessionFn>(GetModuleHandleW(L"kernel32.dll"), "WTSGetActiveConsoleSessionId");
        sessionId = active ? active() : 0;
    }

    // Loaded for this call only: the plug-in must not import it, since hosts
    // without terminal services would then fail to load the plug-in at all.
    // From the system folder only: a host running as LocalSystem must never
    // pick up a DLL of that name planted beside it or on the search path.
    UniqueModule wtsapi(LoadLibraryExW(L"Wtsapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (!wtsapi.valid())
        return nullptr;

    HANDLE token = nullptr;
    using QueryUserTokenFn = BOOL(WINAPI*)(ULONG, PHANDLE);
    auto queryUserToken = LookUp<QueryUserTokenFn>(wtsapi.get(), "WTSQueryUserToken");
    if (queryUserToken && sessionId != 0xFFFFFFFF) {
        if (!queryUserToken(sessionId, &token))
            token = nullptr;
    }
    return token;
}

RevertToSelfScope::RevertToSelfScope()
{
    // Exactly the access that putting it back needs: a token that this process
    // could not impersonate again counts as one that cannot be saved.
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_IMPERSONATE, TRUE, &savedToken)) {
        savedToken = nullptr;
        DWORD error = GetLastError();
        if (error == ERROR_NO_TOKEN)
            return;  // not impersonating: the thread runs as itself already
        // Impersonating, but the token cannot be held (anonymous level, or
        // no access): reverting would lose it for good.
        saveError = error;
        LogFailedCall(TagSaveAtScope);
        SetLastError(error);
        return;
    }
    if (!RevertToSelf())
        LogFailedCall(TagRevertAtScope);
}

RevertToSelfScope::~RevertToSelfScope()
{
    if (!savedToken)
        return;
    // The very token the thread had, at its own impersonation level.
    if (!SetThreadToken(nullptr, savedToken))
        LogFailedCall(TagRestoreSaved);
    if (!CloseHandle(savedToken))
        LogFailedCall(TagCloseSaved);
}

Impersonator::Impersonator(HANDLE token)
{
    if (!Saved())
        return;  // the caller's impersonation stays; logged by the scope
    impersonating = ImpersonateLoggedOnUser(token) != FALSE;
    if (!impersonating)
        LogFailedCall(TagImpersonate);
}

Impersonator::~Impersonator()
{
    if (impersonating && !RevertToSelf())
        LogFailedCall(TagRevertAtEnd);
}
