// Helpers of the Rux tests: unique sink names, the re-launched peer process
// and a readable form of items for comparisons.
#pragma once

#include "rux/RuxExtensions.h"
#include "rux/tests/RawClient.h"

#include <windows.h>

#include <string>
#include <vector>

namespace ruxtest {

// A sink name no other test process uses: "RuxT<pid>.<tag>.<n>".
std::string UniqueName(const char* tag);

// The item in a compact text form: "text", i:5, true, blob:3, {k:v,...}.
// "<invalid>" for a handle that is not a live item.
std::string ItemText(RuxItem item);

// Collects trace lines (process-wide while installed).
class TraceCollector {
public:
    TraceCollector();
    ~TraceCollector();
    std::vector<std::string> Lines() const;
    size_t Count(const char* containing) const;
};

// This test executable started again with `--child ROLE ARGS...` (see
// RuxTestMain.cpp). The child signals the named event Ready(name) when set up.
class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& args);
    ~ChildProcess();  // ends the child if it still runs
    bool Started() const { return process_ != nullptr; }
    // Waits for the child's ready event.
    bool WaitReady(DWORD timeoutMs = 10000);
    // Asks the child to quit (its quit event) and waits for it; its exit code.
    DWORD Quit(DWORD timeoutMs = 10000);
    DWORD Wait(DWORD timeoutMs = 10000);

    static std::wstring ReadyEventName(DWORD pid);
    static std::wstring QuitEventName(DWORD pid);

private:
    HANDLE process_ = nullptr;
    DWORD pid_ = 0;
    HANDLE ready_ = nullptr;
    HANDLE quit_ = nullptr;
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

}  // namespace ruxtest
