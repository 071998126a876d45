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

long ReadRunningWorkerCount() noexcept
{
    EnterCriticalSection(&WorkerCountSection);
    long count = RunningWorkerCount;
    LeaveCriticalSection(&WorkerCountSection);
    return count;
}

class ModuleLifetime {
public:
    ModuleLifetime() noexcept
    {
        MultiProcessor = DetectMultiProcessor();
        ModuleWaitEventTable.Start();
        InitializeCriticalSection(&WorkerCountSection);
    }

    // Runs once, while the module is being unloaded: no pool thread may be left
    // in the module's code before the table (and with it the events that
    // workers might still return) goes away.
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

    if (!IsLastThread()) {
        EnterCriticalSection(&WorkerCountSection);
        WorkerShutdown = true;
        LeaveCriticalSection(&WorkerCountSection);

        // A run's entry leaves the section as its very last instruction in this
        // module, so a count of 0 read inside the section means no pool thread
        // is still executing our code.
        for (unsigned poll = 0; ReadRunningWorkerCount() != 0; ++poll) {
            if (IsLastThread())
                break;
            Sleep(WorkerUnloadPollDelay(poll));
        }
    }
    DeleteCriticalSection(&WorkerCountSection);
}
