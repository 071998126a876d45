// A connection to one service of a user-interface sink, opened for one message
// and closed when the object goes out of scope (service first, then the
// connection). The two names are borrowed: the caller keeps them alive.
//
// With an exchange (RuxOpenExchange), the connect, the open and the message
// share its deadline and its cancel event, and the sink's server may be
// required to be one user in one session; the closing never waits.
#pragma once

#include "contracts/RuxExtensions.h"

class AutoServiceConnect {
public:
    AutoServiceConnect(const char* sinkName, const char* serviceName, const RuxExchange* exchange = nullptr) noexcept
        : sinkName(sinkName), serviceName(serviceName), exchange(exchange)
    {
    }
    ~AutoServiceConnect();

    AutoServiceConnect(const AutoServiceConnect&) = delete;
    AutoServiceConnect& operator=(const AutoServiceConnect&) = delete;

    // Opens the connection and the service. On false (logged at level 3) both
    // handles are null and Error() tells why.
    bool connect();

    RuxService Service() const noexcept { return service; }
    // The last error of the step that failed in connect: RuxError_ServerNotTrusted,
    // ERROR_TIMEOUT, ERROR_CANCELLED, ERROR_NOT_FOUND (no such service), ...
    DWORD Error() const noexcept { return error; }

private:
    const char* sinkName;
    const char* serviceName;
    const RuxExchange* exchange;
    RuxConnection connection = nullptr;
    RuxService service = nullptr;
    DWORD error = ERROR_SUCCESS;
};
