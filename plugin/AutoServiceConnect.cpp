#include "plugin/AutoServiceConnect.h"

#include "log/OlvLog.h"

AutoServiceConnect::~AutoServiceConnect()
{
    if (service)
        RuxCloseService(service);
    if (connection)
        RuxCloseConnection(connection);
}

bool AutoServiceConnect::connect()
{
    connection = exchange ? RuxOpenExchange(sinkName, exchange) : RuxOpenConnection(sinkName);
    if (!connection) {
        error = GetLastError();
        OlvLog_Print(OlvLogError, L"AutoServiceConnect::connect: failed to connect to sink=%S service=%S", sinkName,
                     serviceName);
        return false;
    }
    service = RuxOpenService(connection, serviceName);
    if (!service) {
        error = GetLastError();
        RuxCloseConnection(connection);
        connection = nullptr;
        OlvLog_Print(OlvLogError, L"AutoServiceConnect::connect: failed open service sink=%S service=%S", sinkName,
                     serviceName);
        return false;
    }
    return true;
}
