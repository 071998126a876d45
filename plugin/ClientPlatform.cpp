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

}  // namespace

const ClientPlatform DefaultClientPlatform = {&WTSGetActiveConsoleSessionId, &SystemSessionUserToken,
                                              &SystemAutoResetEvent};

std::atomic<const ClientPlatform*> CurrentClientPlatform{&DefaultClientPlatform};
