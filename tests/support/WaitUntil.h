// A bounded wait for a state that nothing signals: a count another thread
// changes, a file another process makes, a thread that has ended. Where the
// code under test gives an event or a gate, wait on that instead.
#pragma once

#include <windows.h>

#include <functional>

namespace testsupport {

// Asks `condition` at once and then about every millisecond (the thread
// sleeps in between, so the threads it waits for get the processor) until it
// holds or `timeoutMs` have passed; asks it once more at the end. True when it
// came true. Bounds are generous: they only say how long a failing test takes.
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs = 10000);

}  // namespace testsupport
