// Helpers of the client's tests: a user interface as a real messaging sink, the
// calls and queries a user interface sends, the captured process log, and the
// fixture that sets the simulated engine's state aside around each test.
#pragma once

#include "plugin/RuxUIClient.h"
#include "base/UniqueHandle.h"
#include "contracts/RuxApi.h"
#include "tests/support/EngineSandbox.h"
#include "tests/support/TempFolder.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace clienttest {

using testsupport::WaitUntil;

// The sink of the session the tests run in (the active console session).
std::string SessionSinkName();

struct UiMessage {
    int32_t kind = 0;  // RuxResult_Call, _Advise, _Update, _Reply, ...
    std::string text;  // the popped item (testsupport::ItemText)
};

// A user interface's endpoint: a sink with the service "SB" (or another name),
// whose queue the test pops.
class UiSink {
public:
    explicit UiSink(const std::string& sinkName, const char* serviceName = "SB");
    ~UiSink();
    UiSink(const UiSink&) = delete;
    UiSink& operator=(const UiSink&) = delete;

    bool Started() const { return service != nullptr; }

    // The next message, waiting up to `timeout`. False on time-out.
    bool Next(UiMessage& message, DWORD timeout = 5000);
    // Skips messages of other kinds until one of `kind` comes.
    bool NextOfKind(int32_t kind, UiMessage& message, DWORD timeout = 5000);
    // Everything this process has sent to the sink so far, in order: the sink
    // sends itself a marker over a connection of its own and takes what comes
    // before it. The messaging library queues a process's messages to one sink
    // in the order they were sent, across connections, so nothing sent before
    // the marker can come after it. False when the marker did not come.
    bool TakeAllSent(std::vector<UiMessage>& messages, DWORD timeout = 5000);
    // Opens a lasting peer connection to another sink (which signals its event).
    bool OpenPeer(const char* peerName);

private:
    std::string name;
    std::string serviceName;
    UniqueEvent sinkEvent;
    UniqueEvent serviceEvent;
    RuxSink sink = nullptr;
    RuxService service = nullptr;
    RuxConnection peer = nullptr;
    unsigned markers = 0;
};

// Sends a one-way call to the client's service "SB" of sink "SB"; the item is
// released. Non-zero when sent.
bool SendCall(RuxItem item);
// Sends a query to the client: proc, optional arg (released), a string cookie,
// answered to replySink / replyService.
bool SendQuery(const char* proc, RuxItem arg, const char* cookie, const char* replySink, const char* replyService);
// The same with any cookie item (released).
bool SendQuery(const char* proc, RuxItem arg, RuxItem cookie, const char* replySink, const char* replyService);

// The process log, opened at level 1 on a file of its own for one scope.
class CapturedLog {
public:
    CapturedLog();
    ~CapturedLog();
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;

    bool Opened() const { return opened; }

    // Every line so far as "level|message" (the prefix reduced to its level),
    // after flushing what is batched.
    std::vector<std::string> Lines();
    // How many lines equal `line` ("level|message").
    size_t Count(const std::string& line);
    // How many lines start with `prefix`.
    size_t CountStarting(const std::string& prefix);
    // Waits until `line` has appeared at least `times` times.
    bool WaitFor(const std::string& line, size_t times = 1, DWORD timeout = 5000);
    // Waits until a line starts with `prefix`.
    bool WaitForStarting(const std::string& prefix, DWORD timeout = 10000);

private:
    testsupport::TempFolder folder;
    std::wstring path = folder / L"trace.log";
    bool opened = false;
};

// A client as the host holds it; destroyed at the end of the scope unless the
// test destroyed it itself.
class HostedClient {
public:
    HostedClient();
    ~HostedClient();
    HostedClient(const HostedClient&) = delete;
    HostedClient& operator=(const HostedClient&) = delete;

    OLVRuxUIPlugin* operator->() const { return plugin; }
    RuxUIClient* Client() const { return client; }
    void Destroy();

private:
    OLVRuxUIPlugin* plugin = nullptr;
    RuxUIClient* client = nullptr;
};

// What the client learns from the system, replaced for one scope (see
// plugin/ClientPlatform.h) to show what Wine cannot: another session at the
// console, a session whose user cannot be found or whose token cannot be
// impersonated, an event that cannot be made, a system that refuses a
// thread-agnostic registry watch.
// Starts out as the system: the real console session, every user found.
class PlatformOverride {
public:
    PlatformOverride();
    ~PlatformOverride();
    PlatformOverride(const PlatformOverride&) = delete;
    PlatformOverride& operator=(const PlatformOverride&) = delete;

    void SetActiveSession(uint32_t sessionId);
    // The user of this session cannot be found (no token); NoSession: none.
    void SetUserMissing(uint32_t sessionId);
    // The next `count` event creations of the client fail (error 8).
    void FailNextEvents(long count);
    // The user of this session has a token the client cannot impersonate.
    void SetUserUnusable(uint32_t sessionId);
    // Watches asked to be thread-agnostic fail with ERROR_INVALID_PARAMETER,
    // as before Windows 8.
    void RefuseThreadAgnosticWatch(bool refused);
    // The filter of the last watch armed (0: none).
    DWORD ArmedWatchFilter() const;
    // The next `count` starts of the client's sink fail, as a name that an old
    // instance's client still holds fails on Windows.
    void FailNextSinkStarts(long count);
    // Every query seems sent by the user `userSid` (null: the real one) in
    // `sessionId` (NoSession: the real one).
    void DisguiseSenders(const char* userSid, uint32_t sessionId);
    // Waits until clients have looked at the active console session `checks`
    // times after this call. While the host neither constructs a client nor
    // calls SetSession(-1), and no "Enable" comes, each look begins a worker's
    // periodic check, which comes only once the worker has waited out a whole
    // check interval: what the worker was asked to do before this call (a
    // drain, the push it asks for) is done by the first, and the first check
    // itself by the second.
    bool WaitForPeriodicChecks(unsigned checks = 1, DWORD timeout = 10000);
};

// Waits until no client object is alive in the process.
bool WaitNoLiveClients(DWORD timeout = 5000);

// A client started as the host starts it, with the session's user interface
// ("QClient(N)", service "SB") and a settings dialog ("SettingsDialog",
// service "Answers") as real sinks. The sinks outlive the client, so that its
// final status reaches the user interface.
struct ServedClient {
    UiSink ui{SessionSinkName()};
    UiSink replies{"SettingsDialog", "Answers"};
    HostedClient client;

    // Sets the check interval, starts the worker and takes the first full
    // push; false when it did not come.
    bool Start(DWORD checkInterval = RuxUIClient::DefaultSessionCheckInterval);
    UiMessage firstPush;
};

// A file in a folder of its own, made the engine's virtual-data folder: a
// "ClearVirtualData" removes it.
struct VirtualDataFile {
    explicit VirtualDataFile(const wchar_t* name);
    bool Made() const { return made; }
    bool Exists() const;

    testsupport::TempFolder folder;
    std::wstring path;
    bool made = false;
};

// A test of the client in this process: the engine's state set aside, the
// process log captured, the messaging library in use; every client gone at the
// end.
class ClientTest : public testsupport::EngineSandbox {
protected:
    void SetUp() override;
    void TearDown() override;

    CapturedLog log;
};

}  // namespace clienttest
