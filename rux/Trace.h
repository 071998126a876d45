// The library's trace line: one narrow line per notable event (connects,
// disconnects, dropped frames), handed to the callback of RuxSetTraceProc on
// whichever thread noticed the event.
#pragma once

#include "contracts/RuxApi.h"

#include <cstdarg>

namespace rux {

class Trace {
public:
    // Installs `proc` (null removes it). Returns once no call of the previous
    // callback is still running on another thread, so the caller may unload
    // what the callback needs; called from inside a callback it does not wait.
    static void Set(RuxTraceProcFn proc);
    // Formats (printf, at most 511 characters) and hands the line on. Never
    // throws: whatever the callback throws ends that line only.
    static void Line(const char* format, ...) noexcept;
    // The same with the arguments in `args`, and `suffix` after the formatted
    // text as far as the 511 characters reach (a note that must not be cut
    // by the format's own length, for example how many lines were held back).
    static void LineV(const char* format, va_list args, const char* suffix = "") noexcept;
};

}  // namespace rux
