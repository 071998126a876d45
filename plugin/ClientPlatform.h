// The system calls through which the client learns which session is at the
// console, who that session's user is, gets its events and arms its registry
// watch. The product always uses the system's own (DefaultClientPlatform); a
// test installs others to show what Wine cannot: under Wine
// WTSGetActiveConsoleSessionId is always 1 and WTSQueryUserToken succeeds for
// every session number, where Windows has console switches, sessions without
// a user (a logoff), users whose token cannot be impersonated, and
// 0xFFFFFFFF while no session is attached; and Wine takes every watch flag,
// where Windows before 8 refuses REG_NOTIFY_THREAD_AGNOSTIC. Nothing outside
// the process can choose: the table is set only by code linked into the
// module, never from the environment or the registry.
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
    // Arms a change notification on the whole sub-tree of `key` that signals
    // `event` (RegNotifyChangeKeyValue, asynchronous): its result.
    LSTATUS (*watchKeyChanges)(HKEY key, DWORD filter, HANDLE event);
};

extern const ClientPlatform DefaultClientPlatform;
// Never null; read at every call.
extern std::atomic<const ClientPlatform*> CurrentClientPlatform;

inline const ClientPlatform& Platform() noexcept
{
    return *CurrentClientPlatform.load();
}
