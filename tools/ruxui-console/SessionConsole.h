// The user interface of one session, as a console: our sink "QClient(N)" with
// service "SB", a peer to the plug-in's sink, the commands the UI sends, and a
// thread that prints every message that arrives as one JSON line.
//
// Messages are also kept (up to MaxKept, oldest dropped) until a WaitFor takes
// them, so a wait finds a message that came before the wait began.
#pragma once

#include "tools/ruxui-console/ConsoleCommand.h"

#include "contracts/RuxExtensions.h"

#include <windows.h>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

class SessionConsole {
public:
    explicit SessionConsole(FILE* out);
    // Stops the receiving thread before the endpoints it uses are closed.
    ~SessionConsole();
    SessionConsole(const SessionConsole&) = delete;
    SessionConsole& operator=(const SessionConsole&) = delete;

    // Starts the sink and opens the peer, retrying the peer for up to
    // `connectTimeoutMs`. False with a one-line reason.
    bool Start(uint32_t session, const std::string& peerSink, uint32_t connectTimeoutMs, std::string& error);
    // Sends enable, call or query. False with a one-line reason.
    bool Send(const ConsoleCommand& command, std::string& error);
    // Takes the first kept message of `kind` ("any" for every kind) whose JSON
    // contains `contains`, waiting up to `timeoutMs` for one. False on time-out.
    bool WaitFor(const std::string& kind, const std::string& contains, uint32_t timeoutMs);

    const std::string& SinkName() const { return sinkName_; }

    static constexpr size_t MaxKept = 10000;

private:
    struct Received {
        std::string kind;
        std::string line;
    };

    void ReceiveLoop();
    void Record(const std::string& kind, const std::string& line);
    // Reopens the peer and its service "SB" when broken; sendMutex_ held.
    bool EnsurePeerLocked();

    FILE* out_;
    std::string sinkName_;
    std::string peerName_;
    HANDLE sinkEvent_ = nullptr;
    HANDLE serviceEvent_ = nullptr;
    HANDLE stopEvent_ = nullptr;
    RuxSink sink_ = nullptr;
    RuxService service_ = nullptr;

    std::mutex sendMutex_;  // guards the peer, its service and the cookie
    RuxConnection peer_ = nullptr;
    RuxService remote_ = nullptr;
    int32_t nextCookie_ = 1;

    std::mutex mutex_;  // guards kept_ and the output
    std::condition_variable arrived_;
    std::deque<Received> kept_;

    std::thread receiver_;  // last: it uses everything above
};
