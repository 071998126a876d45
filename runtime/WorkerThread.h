// Base of objects that run one long body of work (WorkerProc) on the system
// thread pool, one run at a time. `doneEvent` is a manual-reset event that is
// signalled while the object is idle and non-signalled while a run is queued or
// running, so the owner can wait for the end of a run.
//
//   idle --Start()--> pending --pool thread--> running --SignalDone()--> idle
//   (a failed queueing returns pending to idle at once)
//
// The module keeps a count of runs in progress; its unload waits until no pool
// thread is still inside the module's code.
#pragma once

#include <windows.h>

class WorkerThread {
public:
    // Takes an idle, signalled event from the process's wait-event table, or
    // creates one. A failed creation is a fatal assertion.
    WorkerThread();

    // Returns `doneEvent` to the wait-event table or closes it. Destroying an
    // object whose run is still in progress is a fatal assertion (unless the
    // destroying thread is the last thread of the process).
    virtual ~WorkerThread();

    // The body of a run; executes on a pool thread.
    virtual void WorkerProc() = 0;

    // Marks the end of a run (signals `doneEvent`). Marking it twice is a fatal
    // assertion. It is the run's last use of the object: the run entry touches
    // nothing of it afterwards, so an override may let the object go.
    virtual void SignalDone();

    // Queues one run of WorkerProc. If a run is still in progress, first waits
    // without time limit until it has ended. Starting while the module unloads
    // is a fatal assertion. A failed queueing leaves the object idle, silently.
    void Start();

    // Signalled = idle. The object keeps ownership; callers only wait on it.
    HANDLE DoneEvent() const noexcept { return doneEvent; }

    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

protected:
    HANDLE doneEvent;
};
