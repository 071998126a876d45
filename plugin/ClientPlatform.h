// The system calls through which the client learns which session is at the
// console, who that session's user is, gets its events and arms its registry
// watch, and the messaging calls that tell who sent a query and start the
// client's sink. The product always uses the system's own
// (DefaultClientPlatform); a test installs others to show what Wine cannot:
// under Wine WTSGetActiveConsoleSessionId is always 1 and WTSQueryUserToken
// succeeds for every session number, where Windows has console switches,
// sessions without a user (a logoff), users whose token cannot be
// impersonated, and 0xFFFFFFFF while no session is attached; Wine takes every
// watch flag, where Windows before 8 refuses REG_NOTIFY_THREAD_AGNOSTIC; every
// process runs as one user in one session, where Windows has queries from
// other users and sessions; and a sink's name is taken only by a sink, where
// on Windows a pipe name lives on while a client still holds an end of it,
// and a new first instance is refused meanwhile. Nothing outside
// the process can choose: the table is set only by code linked into the
// module, never from the environment or the registry.
#pragma once

#include "contracts/RuxExtensions.h"

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
    // RuxStartSink.
    RuxSink (*startSink)(const char* name, HANDLE event);
    // RuxGetCallSender.
    int32_t (*callSender)(RuxService service, RuxCallSender* sender);
};

extern const ClientPlatform DefaultClientPlatform;
// Never null; read at every call.
extern std::atomic<const ClientPlatform*> CurrentClientPlatform;

inline const ClientPlatform& Platform() noexcept
{
    return *CurrentClientPlatform.load();
}
