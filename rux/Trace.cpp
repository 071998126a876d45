#include "rux/Trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace rux {
namespace {

std::atomic<RuxTraceProcFn> CurrentProc{nullptr};
std::atomic<int> CallsInFlight{0};
thread_local bool InsideCallback = false;

}  // namespace

void Trace::Set(RuxTraceProcFn proc)
{
    CurrentProc.store(proc);
    if (InsideCallback)
        return;
    while (CallsInFlight.load() != 0)
        SwitchToThread();
}

void Trace::Line(const char* format, ...)
{
    if (!CurrentProc.load(std::memory_order_relaxed))
        return;
    // Counted before the callback is read: Set waits for every call that may
    // still hold the previous one.
    CallsInFlight.fetch_add(1);
    RuxTraceProcFn proc = CurrentProc.load();
    if (proc) {
        char line[512];
        va_list args;
        va_start(args, format);
        int length = std::vsnprintf(line, sizeof line, format, args);
        va_end(args);
        if (length >= 0) {
            bool outer = !InsideCallback;
            InsideCallback = true;
            proc(line);
            if (outer)
                InsideCallback = false;
        }
    }
    CallsInFlight.fetch_sub(1);
}

}  // namespace rux
