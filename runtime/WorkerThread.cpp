#include "runtime/WorkerThread.h"

#include "runtime/FatalAssert.h"
#include "runtime/ModuleLifetime.h"
#include "base/NtApi.h"
#include "base/ThreadQuery.h"
#include "runtime/WaitEventTable.h"

extern "C" NTSTATUS NTAPI RtlLeaveCriticalSection(RTL_CRITICAL_SECTION* section);

namespace {

// Runs one run of a worker on a pool thread. The count of runs is decremented
// inside WorkerCountSection, and leaving the section is the entry's tail call:
// once the unloading thread reads a count of 0 there, this thread executes no
// further instruction of the module (the leave returns straight to the pool).
// RtlLeaveCriticalSection returns a value, which lets the compiler turn the
// call into a jump; the pool ignores the entry's result.
DWORD WINAPI WorkerRunEntry(LPVOID context)
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
    return static_cast<DWORD>(RtlLeaveCriticalSection(&WorkerCountSection));
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

    if (!QueueUserWorkItem(WorkerRunEntry, this, WT_EXECUTELONGFUNCTION)) {
        ZwSetEvent(doneEvent, nullptr);
        EnterCriticalSection(&WorkerCountSection);
        --RunningWorkerCount;
        LeaveCriticalSection(&WorkerCountSection);
    }
}
