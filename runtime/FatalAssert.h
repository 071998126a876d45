// Broken internal invariants (an event that cannot be created, a lock released
// twice, a worker destroyed while running) stop the process in the debugger;
// nothing is returned to the caller.
#pragma once

#include <intrin.h>

inline void FatalUnless(bool condition) noexcept
{
    if (!condition)
        __debugbreak();
}
