#include "runtime/WorkerThread.h"

#include "runtime/FatalAssert.h"
#include "runtime/ModuleLifetime.h"
#include "base/NtApi.h"
#include "base/ThreadQuery.h"
#include "runtime/WaitEventTable.h"

// The module's own base address (provided by the linker).
extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {

HMODULE ThisModule() noexcept
{
    return reinterpret_cast<HMODULE>(&__ImageBase);
}

// Runs one run of a worker on a pool thread. Start took a reference on the
// module for the run; the pool gives it back only after this entry has
// returned, so the module cannot be unmapped under the run, however long it
// outlives its owner's wait, and nobody has to wait for it inside the loader
// lock. When the host has freed the module meanwhile, that reference is the
// last one and the module unloads on this pool thread, after the run.
void CALLBACK WorkerRunEntry(PTP_CALLBACK_INSTANCE instance, void* context)
{
    WorkerThread* worker = static_cast<WorkerThread*>(context);
    try {
        worker->WorkerProc();
    } catch (...) {
        // No exception may leave a pool thread's entry; a run that throws has
        // broken its owner's state.
        FatalUnless(false);
    }
    worker->SignalDone();
    EnterCriticalSection(&WorkerCountSection);
    --RunningWorkerCount;
    LeaveCriticalSection(&WorkerCountSection);
    FreeLibraryWhenCallbackReturns(instance, ThisModule());
}

// Queues one run on the system pool as a long function, holding a reference on
// the module for it. False, with nothing held, when either fails.
bool QueueRun(WorkerThread* worker) noexcept
{
    HMODULE held = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&__ImageBase), &held))
        return false;
    TP_CALLBACK_ENVIRON environment;
    InitializeThreadpoolEnvironment(&environment);
    SetThreadpoolCallbackRunsLong(&environment);
    bool queued = TrySubmitThreadpoolCallback(WorkerRunEntry, worker, &environment) != FALSE;
    DestroyThreadpoolEnvironment(&environment);
    if (!queued)
        FreeLibrary(held);
    return queued;
}

}  // namespace

WorkerThread::WorkerThread() : doneEvent(ModuleWaitEventTable.TakeEvent())
{
    if (!doneEvent) {
        NTSTATUS status = ZwCreateEvent(&doneEvent, OlvEventAllAccess, nullptr, OlvNotificationEvent, TRUE);
        FatalUnless(status >= 0 && doneEvent != nullptr);
    }
}

WorkerThread::~WorkerThread()
{
    // A run still in progress would call into a destroyed object; only the last
    // thread of a process may leave one behind (its pool thread is gone).
    if (WaitForSingleObject(doneEvent, 0) == WAIT_TIMEOUT)
        FatalUnless(IsLastThread());
    if (!ModuleWaitEventTable.ReturnEvent(doneEvent))
        ZwClose(doneEvent);
    doneEvent = nullptr;
}

void WorkerThread::SignalDone()
{
    LONG previousState = 0;
    NTSTATUS status = ZwSetEvent(doneEvent, &previousState);
    FatalUnless(status >= 0);
    FatalUnless(previousState == 0);  // done signalled twice for one run
}

void WorkerThread::Start()
{
    ZwWaitForSingleObject(doneEvent, FALSE, nullptr);
    ZwResetEvent(doneEvent, nullptr);

    EnterCriticalSection(&WorkerCountSection);
    FatalUnless(!WorkerShutdown);
    ++RunningWorkerCount;
    LeaveCriticalSection(&WorkerCountSection);

    if (!QueueRun(this)) {
        ZwSetEvent(doneEvent, nullptr);
        EnterCriticalSection(&WorkerCountSection);
        --RunningWorkerCount;
        LeaveCriticalSection(&WorkerCountSection);
    }
}
