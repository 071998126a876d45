// Module-wide state of the runtime library and its start-up and unload, which
// run in this order:
//
//   start-up: MultiProcessor -> wait-event table (alive) -> worker count
//   unload:   worker-count wait (no run left inside the module's code)
//             -> wait-event table teardown -> TableCreationLock destroyed
//
// Start-up runs while the module's globals are constructed (in a DLL, at
// process attach), unload while they are destroyed (at detach).
#pragma once

#include <windows.h>

// Runs queued or in progress; read and written only inside WorkerCountSection.
extern long RunningWorkerCount;
// Set when the module begins to unload; starting a worker after that is fatal.
extern bool WorkerShutdown;
extern CRITICAL_SECTION WorkerCountSection;

// The workers' part of module unload: sets WorkerShutdown, waits (polling, with
// no upper limit) until no run of this module is queued or running or the caller
// is the last thread of the process, then deletes WorkerCountSection. Does
// nothing when the library is carried by the process's main executable, whose
// pool threads may still run while the process exits.
void UnloadWorkers() noexcept;

// Sleep before the n-th (0-based) look at the count during the unload wait:
// 10 ms for the first 100, then 100 ms.
constexpr DWORD WorkerUnloadPollDelay(unsigned poll) noexcept
{
    return poll < 100 ? 10 : 100;
}
