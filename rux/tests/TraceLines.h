// The library's trace lines, collected while an instance lives: through the
// DLL's RuxSetTraceProc or the archive's rux::Trace::Set, whichever the test
// program links. One at a time: the callback is process-wide.
#pragma once

#include <windows.h>

#include <string>

namespace ruxtest {

class TraceLines {
public:
    using Install = void (*)(void (*)(const char* line));
    explicit TraceLines(Install install);
    ~TraceLines();
    TraceLines(const TraceLines&) = delete;
    TraceLines& operator=(const TraceLines&) = delete;

    // The lines that hold `containing`.
    size_t Count(const std::string& containing) const;
    // Waits (up to `timeoutMs`) until `count` lines hold `containing`.
    bool WaitFor(const std::string& containing, DWORD timeoutMs = 10000, size_t count = 1) const;

private:
    Install install_;
};

}  // namespace ruxtest
