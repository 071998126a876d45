#include "rux/Trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace rux {
namespace {

std::atomic<RuxTraceProcFn> CurrentProc{nullptr};
std::atomic<int> CallsInFlight{0};
thread_local bool InsideCallback = false;

// One call of the callback, counted from before the callback is read until
// the call is over, on every way out: Set waits for the count to reach zero.
class CallInFlight {
public:
    CallInFlight() { CallsInFlight.fetch_add(1); }
    ~CallInFlight() { CallsInFlight.fetch_sub(1); }
    CallInFlight(const CallInFlight&) = delete;
    CallInFlight& operator=(const CallInFlight&) = delete;
};

// Marks this thread as inside the callback for the call's length (nested
// lines keep the outer mark).
class InsideMark {
public:
    InsideMark() : outer_(!InsideCallback) { InsideCallback = true; }
    ~InsideMark()
    {
        if (outer_)
            InsideCallback = false;
    }
    InsideMark(const InsideMark&) = delete;
    InsideMark& operator=(const InsideMark&) = delete;

private:
    bool outer_;
};

}  // namespace

void Trace::Set(RuxTraceProcFn proc)
{
    CurrentProc.store(proc);
    if (InsideCallback)
        return;
    while (CallsInFlight.load() != 0)
        SwitchToThread();
}

void Trace::Line(const char* format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    LineV(format, args);
    va_end(args);
}

void Trace::LineV(const char* format, va_list args, const char* suffix) noexcept
{
    if (!CurrentProc.load(std::memory_order_relaxed))
        return;
    CallInFlight counted;
    RuxTraceProcFn proc = CurrentProc.load();
    if (!proc)
        return;
    char line[512];
    int length = std::vsnprintf(line, sizeof line, format, args);
    if (length < 0)
        return;
    if (static_cast<size_t>(length) < sizeof line - 1)
        std::snprintf(line + length, sizeof line - length, "%s", suffix);
    InsideMark inside;
    // The application's callback must not change what the library does: a
    // line it fails on is lost, and the library's thread goes on (nothing
    // it throws reaches the library's threads or the caller of an export).
    try {
        proc(line);
    } catch (...) {
    }
}

}  // namespace rux
