// Helpers of the Rux tests: unique sink names, the re-launched peer process
// and a readable form of items for comparisons.
#pragma once

#include "contracts/RuxExtensions.h"
#include "rux/tests/RawClient.h"
#include "tests/support/ItemText.h"
#include "tests/support/ProcessRun.h"

#include <windows.h>

#include <string>
#include <tuple>
#include <vector>

namespace ruxtest {

// A sink name no other test process uses: "RuxT<pid>.<tag>.<n>".
std::string UniqueName(const char* tag);

using testsupport::ItemText;

// Collects trace lines (process-wide while installed).
class TraceCollector {
public:
    TraceCollector();
    ~TraceCollector();
    std::vector<std::string> Lines() const;
    size_t Count(const char* containing) const;
    // Waits (up to `timeoutMs`) for a line that holds `containing`.
    bool WaitFor(const std::string& containing, DWORD timeoutMs = 10000) const;
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
    HANDLE ready_ = nullptr;
    HANDLE quit_ = nullptr;
    testsupport::RunningProcess process_;
};

// Waits for an event with a few seconds' bound.
bool Signalled(HANDLE event, DWORD timeoutMs = 5000);

// Pops the next message, waiting on `event` for up to `timeoutMs`.
int32_t PopWithin(RuxService service, HANDLE event, RuxItem* call, DWORD timeoutMs = 5000);

// The private bytes (commit charge) of this process. Read as PagefileUsage,
// which Windows reports equal to PrivateUsage and Wine fills alone.
SIZE_T PrivateBytes();

// Holds RuxInit for one test.
class LibraryUse {
public:
    LibraryUse() { RuxInit(); }
    ~LibraryUse() { RuxExit(); }
};

// A sink named `name` with the service "SB" signalling an auto-reset event,
// stopped and closed at the end of the test, also one that an assertion ends.
class ServedSink {
public:
    explicit ServedSink(const std::string& name)
        : event_(CreateEventW(nullptr, FALSE, FALSE, nullptr)), sink_(RuxStartSink(name.c_str(), nullptr)),
          service_(RuxStartService(sink_, "SB", event_))
    {
    }
    ~ServedSink()
    {
        RuxStopService(service_);
        RuxStopSink(sink_);
        CloseHandle(event_);
    }
    ServedSink(const ServedSink&) = delete;
    ServedSink& operator=(const ServedSink&) = delete;

    std::tuple<HANDLE, RuxSink, RuxService> Handles() const { return {event_, sink_, service_}; }

private:
    HANDLE event_;
    RuxSink sink_;
    RuxService service_;
};

}  // namespace ruxtest
