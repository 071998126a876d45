#include "tools/ruxfuzz/SettingsProbe.h"

SettingsProbe::~SettingsProbe()
{
    RuxStopService(service_);
    RuxStopSink(sink_);
    if (initialised_)
        RuxExit();
}

bool SettingsProbe::Start(std::string& error)
{
    RuxInit();
    initialised_ = true;
    sinkName_ = "RuxFuzz." + std::to_string(GetCurrentProcessId());
    serviceEvent_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!serviceEvent_.valid()) {
        error = "cannot create an event (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    sink_ = RuxStartSink(sinkName_.c_str(), nullptr);
    service_ = sink_ ? RuxStartService(sink_, ServiceName, serviceEvent_.get()) : nullptr;
    if (!service_) {
        error = "cannot start the reply sink '" + sinkName_ + "' (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    return true;
}

bool SettingsProbe::Ask(const std::string& hostSink, DWORD timeoutMs, std::string& error)
{
    error.clear();
    ULONGLONG deadline = GetTickCount64() + timeoutMs;
    int32_t cookie = ++lastCookie_;
    RuxConnection connection = RuxOpenConnection(hostSink.c_str());
    if (!connection) {
        error = "cannot connect to sink '" + hostSink + "' (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    RuxService remote = RuxOpenService(connection, "SB");
    RuxItem proc = RuxBuildItem("s", "RequestSBSetting");
    RuxItem cookieItem = RuxBuildItem("i", cookie);
    bool sent = remote && proc && cookieItem &&
                RuxQuery(remote, 0, proc, nullptr, cookieItem, sinkName_.c_str(), ServiceName) != 0;
    RuxReleaseItem(proc);
    RuxReleaseItem(cookieItem);
    RuxCloseService(remote);
    RuxCloseConnection(connection);
    if (!sent) {
        error = remote ? "the query could not be sent" : "service 'SB' cannot be opened";
        return false;
    }
    for (;;) {
        if (DrainFor(cookie, error))
            return true;
        if (!error.empty())
            return false;
        ULONGLONG now = GetTickCount64();
        if (now >= deadline ||
            WaitForSingleObject(serviceEvent_.get(), static_cast<DWORD>(deadline - now)) == WAIT_TIMEOUT) {
            if (DrainFor(cookie, error))
                return true;
            if (error.empty())
                error = "no reply to RequestSBSetting within " + std::to_string(timeoutMs) + " ms";
            return false;
        }
    }
}

bool SettingsProbe::DrainFor(int32_t cookie, std::string& error)
{
    bool answered = false;
    RuxItem reply = nullptr;
    for (int32_t kind; (kind = RuxPopCall(service_, &reply)) != RuxResult_Empty;) {
        if (kind != RuxResult_Reply || answered)
            continue;
        // The popped reply and its members belong to the library.
        RuxItem cookieItem = nullptr;
        RuxItem result = nullptr;
        int32_t replyCookie = 0;
        if (RuxGetAssoc(reply, "cookie", &cookieItem) != 0 || RuxGetInt(cookieItem, &replyCookie) != 0 ||
            replyCookie != cookie)
            continue;
        uint16_t count = 0;
        if (RuxGetAssoc(reply, "result", &result) != 0 || RuxGetLen(result, &count) != 0 || count != SettingCount) {
            error = "the reply to RequestSBSetting does not carry the ten settings";
            continue;
        }
        answered = true;
    }
    return answered;
}
