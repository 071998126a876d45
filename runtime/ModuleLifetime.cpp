#include "runtime/ModuleLifetime.h"

#include "runtime/MultiProcessor.h"
#include "base/ThreadQuery.h"
#include "runtime/WaitEventTable.h"

// The module's own base address (provided by the linker).
extern "C" IMAGE_DOS_HEADER __ImageBase;

// The module's globals, in start-up order. All of them are constant-initialised,
// so they are usable before any start-up code runs; the lifetime object at the
// end of this file runs start-up and unload. Objects with destructors are
// destroyed after it, in reverse order: the table's creation lock last.
constinit bool MultiProcessor = false;
constinit WaitEventTable ModuleWaitEventTable;
constinit long RunningWorkerCount = 0;
constinit bool WorkerShutdown = false;
CRITICAL_SECTION WorkerCountSection;

namespace {

class ModuleLifetime {
public:
    ModuleLifetime() noexcept
    {
        MultiProcessor = DetectMultiProcessor();
        ModuleWaitEventTable.Start();
        InitializeCriticalSection(&WorkerCountSection);
    }

    // Runs once, while the module is being unloaded. No run is left by then
    // (each holds the module), so no worker returns an event to the table
    // after it has gone.
    ~ModuleLifetime()
    {
        UnloadWorkers();
        ModuleWaitEventTable.Shutdown();
    }
};

ModuleLifetime TheModuleLifetime;

}  // namespace

void UnloadWorkers() noexcept
{
    if (GetModuleHandleW(nullptr) == reinterpret_cast<HMODULE>(&__ImageBase))
        return;

    // At process exit the pool's threads are gone, and one may have been ended
    // inside the section: the last thread never enters it.
    if (!IsLastThread()) {
        EnterCriticalSection(&WorkerCountSection);
        WorkerShutdown = true;
        LeaveCriticalSection(&WorkerCountSection);
    }
    DeleteCriticalSection(&WorkerCountSection);
}
