// The system calls through which the client learns which session is at the
// console, who that session's user is, and gets its events. The product always
// uses the system's own (DefaultClientPlatform); a test installs others to show
// what Wine cannot: under Wine WTSGetActiveConsoleSessionId is always 1 and
// WTSQueryUserToken succeeds for every session number, where Windows has
// console switches, sessions without a user, and 0xFFFFFFFF while no session
// is attached. Nothing outside the process can choose: the table is set only
// by code linked into the module, never from the environment or the registry.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

struct ClientPlatform {
    // The session at the physical console, or 0xFFFFFFFF.
    DWORD(WINAPI* activeConsoleSession)();
    // A primary token of the user logged on to the session (the caller closes
    // it), or null when there is none.
    HANDLE (*sessionUserToken)(uint32_t sessionId);
    // An unnamed auto-reset event, initially not signalled, or null.
    HANDLE (*createAutoResetEvent)();
};

extern const ClientPlatform DefaultClientPlatform;
// Never null; read at every call.
extern std::atomic<const ClientPlatform*> CurrentClientPlatform;

inline const ClientPlatform& Platform() noexcept
{
    return *CurrentClientPlatform.load();
}
