// Helpers of the Rux tests: unique sink names, the re-launched peer process
// and a readable form of items for comparisons.
#pragma once

#include "rux/RuxExtensions.h"

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

// The wire as a hostile client writes it.
std::string U32(uint32_t value);
// A frame: magic, kind, flags, reserved, service, length (given or the body's).
std::string RawFrame(uint8_t kind, uint32_t service, const std::string& body);
std::string RawFrame(uint8_t kind, uint32_t service, const std::string& body, uint32_t length);
std::string StringItem(const std::string& text);

// A client that writes bytes straight into a sink's pipe. Waits up to 5 s for
// a free instance.
class RawClient {
public:
    explicit RawClient(const std::string& sink);
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;
    bool Open() const { return pipe_ != INVALID_HANDLE_VALUE; }

    bool Write(const std::string& bytes);
    // The next message, or "" after 5 s or when the pipe broke.
    std::string Read();
    // A request and its answer's status, or -1 without an answer.
    int64_t Ask(uint8_t kind, const std::string& body);
    // A plain connection's Hello; true when answered with status 0.
    bool Hello() { return Ask(1, std::string(1, '\0')) == 0; }
    uint32_t ServiceId(const std::string& name);
    // True once the sink has closed its end, within `timeoutMs`.
    bool ClosedBySink(DWORD timeoutMs);

private:
    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    HANDLE event_;
};

// Holds RuxInit for one test.
class LibraryUse {
public:
    LibraryUse() { RuxInit(); }
    ~LibraryUse() { RuxExit(); }
};

}  // namespace ruxtest
