#include "tools/ruxui-console/SessionConsole.h"

#include "tools/ruxui-console/ItemJson.h"

#include <chrono>

namespace {

const char* KindName(int32_t result)
{
    switch (result) {
    case RuxResult_Call: return "call";
    case RuxResult_Query: return "query";
    case RuxResult_Advise: return "advise";
    case RuxResult_Update: return "update";
    case RuxResult_Reply: return "reply";
    default: return "other";
    }
}

}  // namespace

SessionConsole::SessionConsole(FILE* out) : out_(out)
{
    RuxInit();
}

SessionConsole::~SessionConsole()
{
    if (receiver_.joinable()) {
        SetEvent(stopEvent_);
        receiver_.join();
    }
    RuxCloseService(remote_);
    RuxCloseConnection(peer_);
    RuxStopService(service_);
    RuxStopSink(sink_);
    RuxExit();
    for (HANDLE event : {sinkEvent_, serviceEvent_, stopEvent_}) {
        if (event)
            CloseHandle(event);
    }
}

bool SessionConsole::Start(uint32_t session, const std::string& peerSink, uint32_t connectTimeoutMs,
                           std::string& error)
{
    sinkName_ = "QClient(" + std::to_string(session) + ")";
    peerName_ = peerSink;
    sinkEvent_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    serviceEvent_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    stopEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!sinkEvent_ || !serviceEvent_ || !stopEvent_) {
        error = "cannot create events (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    sink_ = RuxStartSink(sinkName_.c_str(), sinkEvent_);
    if (!sink_) {
        error = "cannot start sink '" + sinkName_ + "' (error " + std::to_string(GetLastError()) +
                "): is another console running for this session?";
        return false;
    }
    service_ = RuxStartService(sink_, "SB", serviceEvent_);
    if (!service_) {
        error = "cannot start service 'SB' (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    // The receiver runs before the peer opens: the plug-in answers our peer
    // with a status push at once.
    receiver_ = std::thread(&SessionConsole::ReceiveLoop, this);
    ULONGLONG deadline = GetTickCount64() + connectTimeoutMs;
    std::lock_guard<std::mutex> hold(sendMutex_);
    for (;;) {
        if (EnsurePeerLocked())
            return true;
        if (GetTickCount64() >= deadline) {
            error = "cannot reach the plug-in's sink '" + peerName_ + "' (error " + std::to_string(GetLastError()) +
                    ")";
            return false;
        }
        Sleep(200);
    }
}

bool SessionConsole::EnsurePeerLocked()
{
    if (remote_ && RuxIsConnected(peer_))
        return true;
    RuxCloseService(remote_);
    remote_ = nullptr;
    if (!RuxEnsurePeer(sink_, peerName_.c_str(), &peer_))
        return false;
    remote_ = RuxOpenService(peer_, "SB");
    return remote_ != nullptr;
}

bool SessionConsole::Send(const ConsoleCommand& command, std::string& error)
{
    RuxItem item = nullptr;
    RuxItem arg = nullptr;
    RuxItem cookie = nullptr;
    switch (command.kind) {
    case ConsoleCommand::Kind::Enable:
        item = RuxBuildItem("{s:s,s:b}", "proc", "Enable", "arg", command.flag ? 1 : 0);
        break;
    case ConsoleCommand::Kind::Call:
    case ConsoleCommand::Kind::Query:
        item = RuxBuildItem("s", command.name.c_str());
        break;
    default:
        error = "not a command to send";
        return false;
    }
    if (command.kind == ConsoleCommand::Kind::Query && !command.settings.empty()) {
        arg = RuxBuildItem("{}");
        for (const auto& [name, value] : command.settings) {
            RuxItem flag = RuxBuildItem("b", value ? 1 : 0);
            RuxAssocSet(arg, name.c_str(), flag);
            RuxReleaseItem(flag);
        }
    }
    bool sent = false;
    {
        std::lock_guard<std::mutex> hold(sendMutex_);
        if (command.kind == ConsoleCommand::Kind::Query)
            cookie = RuxBuildItem("i", nextCookie_++);
        // One retry on a fresh peer: the plug-in may have restarted since.
        for (int attempt = 0; attempt < 2 && !sent; ++attempt) {
            if (!EnsurePeerLocked())
                break;
            sent = command.kind == ConsoleCommand::Kind::Query
                       ? RuxQuery(remote_, 0, item, arg, cookie, sinkName_.c_str(), "SB") != 0
                       : RuxCall(remote_, 0, item, 0) != 0;
        }
    }
    for (RuxItem built : {item, arg, cookie})
        RuxReleaseItem(built);
    if (!sent)
        error = "cannot send to the plug-in's sink '" + peerName_ + "': not connected";
    return sent;
}

void SessionConsole::Record(const std::string& kind, const std::string& line)
{
    std::lock_guard<std::mutex> hold(mutex_);
    std::fprintf(out_, "%s\n", line.c_str());
    std::fflush(out_);
    if (kept_.size() >= MaxKept)
        kept_.pop_front();
    kept_.push_back(Received{kind, line});
    arrived_.notify_all();
}

void SessionConsole::ReceiveLoop()
{
    HANDLE waits[3] = {stopEvent_, serviceEvent_, sinkEvent_};
    for (;;) {
        DWORD wait = WaitForMultipleObjects(3, waits, FALSE, INFINITE);
        if (wait == WAIT_OBJECT_0 + 1) {
            RuxItem call = nullptr;
            for (int32_t kind; (kind = RuxPopCall(service_, &call)) != RuxResult_Empty;) {
                const char* name = KindName(kind);
                Record(name, std::string("{\"kind\":\"") + name + "\",\"item\":" + ItemJson::Format(call) + "}");
            }
        } else if (wait == WAIT_OBJECT_0 + 2) {
            Record("peer", "{\"kind\":\"peer\",\"sink\":" + ItemJson::Quote(sinkName_) + "}");
        } else {
            return;
        }
    }
}

bool SessionConsole::WaitFor(const std::string& kind, const std::string& contains, uint32_t timeoutMs)
{
    std::unique_lock<std::mutex> hold(mutex_);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        for (auto it = kept_.begin(); it != kept_.end(); ++it) {
            if ((kind == "any" || it->kind == kind) &&
                (contains.empty() || it->line.find(contains) != std::string::npos)) {
                kept_.erase(it);
                return true;
            }
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        arrived_.wait_until(hold, deadline);
    }
}
