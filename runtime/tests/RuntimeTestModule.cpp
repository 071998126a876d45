// A second module of the test process that carries its own copy of the runtime
// library (its own module globals, table view and worker count), so that the
// tests can meet it through the shared wait-event section and unload it while
// one of its workers runs.
#include "runtime/WaitEventTable.h"
#include "runtime/WorkerThread.h"

namespace {

// Runs once per Start: reports that it is inside WorkerProc, then waits until
// the test lets it finish.
class BlockingWorker final : public WorkerThread {
public:
    BlockingWorker(HANDLE entered, HANDLE release) : entered_(entered), release_(release) {}
    void WorkerProc() override
    {
        SetEvent(entered_);
        WaitForSingleObject(release_, INFINITE);
    }

private:
    HANDLE entered_;
    HANDLE release_;
};

class IdleWorker final : public WorkerThread {
public:
    void WorkerProc() override {}
};

}  // namespace

extern "C" {

// Constructs an idle worker of this module and returns its done event, leaving
// the worker alive; TestModule_DestroyWorker destroys it.
__declspec(dllexport) void* TestModule_NewWorker(HANDLE* doneEvent)
{
    auto* worker = new IdleWorker;
    *doneEvent = worker->DoneEvent();
    return worker;
}

__declspec(dllexport) void TestModule_DestroyWorker(void* worker)
{
    delete static_cast<IdleWorker*>(worker);
}

// Starts a worker whose run blocks until `release` is signalled. The object is
// deliberately never destroyed: the test unloads the module while it runs, and
// after that no code of the module is left to destroy it.
__declspec(dllexport) void TestModule_StartBlockingWorker(HANDLE entered, HANDLE release)
{
    (new BlockingWorker(entered, release))->Start();
}

}  // extern "C"
