// Base of objects that run one long body of work (WorkerProc) on the system
// thread pool, one run at a time. `doneEvent` is a manual-reset event that is
// signalled while the object is idle and non-signalled while a run is queued or
// running, so the owner can wait for the end of a run.
//
//   idle --Start()--> pending --pool thread--> running --SignalDone()--> idle
//   (a failed queueing returns pending to idle at once)
//
// Runs go to the system thread pool as long functions. Each queued or running
// run holds a reference on the module that carries this library, taken by
// Start and given back by the pool once the run's entry has returned: a host
// that frees the module while a run outlives its owner's wait does not unload
// it under the run, and the module's unload never waits (it runs inside the
// loader lock, which a thread that ends needs too). The module also keeps a
// count of runs in progress.
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

    // Queues one run of WorkerProc, with its reference on the module. If a run
    // is still in progress, first waits without time limit until it has
    // ended. Starting while the module unloads is a fatal assertion. A failed
    // queueing leaves the object idle and the module as it was, silently.
    void Start();

    // Signalled = idle. The object keeps ownership; callers only wait on it.
    HANDLE DoneEvent() const noexcept { return doneEvent; }

    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

protected:
    HANDLE doneEvent;
};
