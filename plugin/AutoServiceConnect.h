// A connection to one service of a user-interface sink, opened for one message
// and closed when the object goes out of scope (service first, then the
// connection). The two names are borrowed: the caller keeps them alive.
#pragma once

#include "contracts/RuxApi.h"

class AutoServiceConnect {
public:
    AutoServiceConnect(const char* sinkName, const char* serviceName) noexcept
        : sinkName(sinkName), serviceName(serviceName)
    {
    }
    ~AutoServiceConnect();

    AutoServiceConnect(const AutoServiceConnect&) = delete;
    AutoServiceConnect& operator=(const AutoServiceConnect&) = delete;

    // Opens the connection and the service. On false (logged at level 3) both
    // handles are null.
    bool connect();

    RuxService Service() const noexcept { return service; }

private:
    const char* sinkName;
    const char* serviceName;
    RuxConnection connection = nullptr;
    RuxService service = nullptr;
};
