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

RuxSink LibraryStartSink(const char* name, HANDLE event)
{
    return RuxStartSink(name, event);
}

int32_t LibraryCallSender(RuxService service, RuxCallSender* sender)
{
    return RuxGetCallSender(service, sender);
}

}  // namespace

const ClientPlatform DefaultClientPlatform = {&WTSGetActiveConsoleSessionId, &SystemSessionUserToken,
                                              &SystemAutoResetEvent, &SystemWatchKeyChanges, &LibraryStartSink,
                                              &LibraryCallSender};

std::atomic<const ClientPlatform*> CurrentClientPlatform{&DefaultClientPlatform};
