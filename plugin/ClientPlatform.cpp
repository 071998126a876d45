#include "plugin/ClientPlatform.h"

#include "runtime/Impersonator.h"

namespace {

HANDLE SystemSessionUserToken(uint32_t sessionId)
{
    return GetSessionUserToken(sessionId);
}

HANDLE SystemAutoResetEvent()
{
    return CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

LSTATUS SystemWatchKeyChanges(HKEY key, DWORD filter, HANDLE event)
{
    return RegNotifyChangeKeyValue(key, TRUE, filter, event, TRUE);
}

}  // namespace

const ClientPlatform DefaultClientPlatform = {&WTSGetActiveConsoleSessionId, &SystemSessionUserToken,
                                              &SystemAutoResetEvent, &SystemWatchKeyChanges};

std::atomic<const ClientPlatform*> CurrentClientPlatform{&DefaultClientPlatform};
