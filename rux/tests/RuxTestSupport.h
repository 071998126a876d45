// Helpers of the tests of Rux.dll: owners of what a test starts (so that an
// assertion that ends a test leaves nothing running into the next), the
// re-launched peer process, one message on a fresh connection, and a readable
// form of items for comparisons.
#pragma once

#include "base/UniqueHandle.h"
#include "contracts/RuxExtensions.h"
#include "rux/tests/RawClient.h"
#include "rux/tests/TraceLines.h"
#include "tests/support/ItemText.h"
#include "tests/support/ProcessRun.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

namespace ruxtest {

using testsupport::ItemText;

// Collects the library's trace lines (process-wide while it lives).
class TraceCollector : public TraceLines {
public:
    TraceCollector() : TraceLines(RuxSetTraceProc) {}
};

// This test executable started again for a scenario of RuxChildScenarios.cpp:
// the scenario's name, then its arguments. The child gets a tag first, which
// names its ready event (set when it is set up) and its quit event.
class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& args);
    ~ChildProcess();  // asks a child that still runs to quit, then ends it
    bool Started() const { return process_.Started(); }
    DWORD Id() const { return process_.Id(); }
    // Waits for the child's ready event.
    bool WaitReady(DWORD timeoutMs = 10000);
    // Asks the child to quit (its quit event) and waits for it; its exit code.
    DWORD Quit(DWORD timeoutMs = 10000);
    DWORD Wait(DWORD timeoutMs = 10000);

    // "Ready" or "Quit" of the child with `tag`.
    static std::wstring EventName(const wchar_t* what, const std::wstring& tag);

private:
    std::wstring tag_;
    UniqueEvent ready_;
    UniqueEvent quit_;
    testsupport::RunningProcess process_;
};

// Waits for an event with a few seconds' bound.
bool Signalled(HANDLE event, DWORD timeoutMs = 5000);

// Pops the next message, waiting on `event` for up to `timeoutMs`.
int32_t PopWithin(RuxService service, HANDLE event, RuxItem* call, DWORD timeoutMs = 5000);

// The private bytes (commit charge) of this process. Read as PagefileUsage,
// which Windows reports equal to PrivateUsage and Wine fills alone.
SIZE_T PrivateBytes();

// Sends `item` as a message of `kind` (RuxResult_Call, _Advise or _Update) on
// `service`; non-zero when sent.
int32_t SendAs(RuxService service, int32_t kind, RuxItem item);
// Opens a connection to `sink` (a peer from `own` when given) and its service
// `service`, makes `send` on it and closes both at once, as the plug-in does
// for every message; true when `send` returned non-zero.
bool SendOnce(const std::string& sink, const std::function<int32_t(RuxService)>& send, RuxSink own = nullptr,
              const char* service = "SB");
// One call of the string `text` that way.
bool CallOnce(const std::string& sink, const char* text, RuxSink own = nullptr);

// A connection to sink `sink` and its service `service` ("SB"), as a sender
// holds them; both closed at the end of the scope, also one that an assertion
// ends. Null when either could not be opened.
class RemoteService {
public:
    explicit RemoteService(const std::string& sink, const char* service = "SB")
        : connection_(RuxOpenConnection(sink.c_str())), service_(RuxOpenService(connection_, service))
    {
    }
    ~RemoteService()
    {
        RuxCloseService(service_);
        RuxCloseConnection(connection_);
    }
    RemoteService(const RemoteService&) = delete;
    RemoteService& operator=(const RemoteService&) = delete;

    RuxService get() const { return service_; }

private:
    RuxConnection connection_;
    RuxService service_;
};

// Holds RuxInit for one test.
class LibraryUse {
public:
    LibraryUse() { RuxInit(); }
    ~LibraryUse() { RuxExit(); }
};

inline void StopSink(RuxSink sink)
{
    RuxStopSink(sink);
}
inline void StopService(RuxService service)
{
    RuxStopService(service);
}
// A sink of the test's, stopped at the end of its scope.
using OwnedSink = UniqueHandle<RuxSink, StopSink>;
using OwnedService = UniqueHandle<RuxService, StopService>;

// A sink named `name` whose event peers set (auto-reset), with the service
// `service` ("SB") signalling an auto-reset event of its own; stopped and
// closed at the end of the test, also one that an assertion ends.
class ServedSink {
public:
    explicit ServedSink(const std::string& name, const char* service = "SB");
    ServedSink(const ServedSink&) = delete;
    ServedSink& operator=(const ServedSink&) = delete;

    // The service's event, the sink and the service.
    std::tuple<HANDLE, RuxSink, RuxService> Handles() const { return {event_.get(), sink_.get(), service_.get()}; }
    HANDLE SinkEvent() const { return sinkEvent_.get(); }
    // Starts another service of the sink, signalling `event`; stopped with it.
    RuxService AddService(const char* name, HANDLE event);

private:
    UniqueEvent sinkEvent_;
    UniqueEvent event_;
    OwnedSink sink_;
    OwnedService service_;
    std::vector<OwnedService> more_;
};

// A test of one sink: the library initialised for it, and a sink of a name
// no other test uses serving "SB", stopped at its end. A suite of such tests
// names it: `using Suite = OneSinkTest;`, then TEST_F(Suite, Case).
class OneSinkTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(service, nullptr); }

    LibraryUse use;
    const std::string name = UniqueName("sink");
    ServedSink served{name};
    // The service's event, the sink and the service.
    HANDLE event = std::get<0>(served.Handles());
    RuxSink sink = std::get<1>(served.Handles());
    RuxService service = std::get<2>(served.Handles());
};

}  // namespace ruxtest
