// Module-wide state of the runtime library and its start-up and unload, which
// run in this order:
//
//   start-up: MultiProcessor -> wait-event table (alive) -> worker count
//   unload:   workers marked shut down (no waiting) -> wait-event table
//             teardown -> TableCreationLock destroyed
//
// Start-up runs while the module's globals are constructed (in a DLL, at
// process attach), unload while they are destroyed (at detach), that is inside
// the loader lock: nothing here waits for another thread, since a thread that
// starts or ends needs that lock too.
#pragma once

#include <windows.h>

// Runs queued or in progress; read and written only inside WorkerCountSection.
extern long RunningWorkerCount;
// Set when the module begins to unload; starting a worker after that is fatal.
extern bool WorkerShutdown;
extern CRITICAL_SECTION WorkerCountSection;

// The workers' part of module unload: sets WorkerShutdown, then deletes
// WorkerCountSection. It never waits. Every queued or running run holds a
// reference on the module (WorkerThread::Start), which the thread pool gives
// back only once the run's entry has returned, so a FreeLibrary cannot unload
// the module while a run is left; at process exit the system has ended the
// pool's threads before the detach. Does nothing when the library is carried
// by the process's main executable.
void UnloadWorkers() noexcept;
