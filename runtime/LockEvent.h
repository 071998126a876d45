// Lazily created kernel events of the locks (internal to the runtime).
#pragma once

#include <windows.h>

#include <atomic>

// Returns the event stored in `field`, creating an auto-reset event (initially
// signalled or not) and publishing it by compare-and-swap if there is none yet.
// The thread that loses the race closes its own. Never returns null: a failed
// creation is a fatal assertion and is never published.
HANDLE EnsureLockEvent(std::atomic<HANDLE>& field, bool initiallySignalled) noexcept;

// Closes the event in `field`, if any, and leaves the field null. A failing
// close is a fatal assertion.
void CloseLockEvent(std::atomic<HANDLE>& field) noexcept;
