#include "runtime/WorkerThread.h"

#include "runtime/ModuleLifetime.h"
#include "base/NtApi.h"
#include "base/ThreadQuery.h"
#include "runtime/WaitEventTable.h"
#include "runtime/tests/LockTestSupport.h"
#include "tests/support/ChildScenario.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace testsupport;

namespace {

long ReadRunningWorkerCount()
{
    EnterCriticalSection(&WorkerCountSection);
    long count = RunningWorkerCount;
    LeaveCriticalSection(&WorkerCountSection);
    return count;
}

// Each run reports that it entered and then waits for the test's permission.
class GatedWorker final : public WorkerThread {
public:
    void WorkerProc() override
    {
        ++runs;
        entered.Set();
        mayFinish.WaitFor(INFINITE);
    }
    std::atomic<int> runs{0};
    TestEvent entered;
    TestEvent mayFinish;
};

class IdleWorker final : public WorkerThread {
public:
    void WorkerProc() override {}
};

TEST(WorkerThread, NewWorkerIsIdleAndARunLeavesItIdleAgain)
{
    GatedWorker worker;
    EXPECT_TRUE(IsSignalled(worker.DoneEvent()));
    long before = ReadRunningWorkerCount();
    worker.Start();
    ASSERT_TRUE(worker.entered.WaitFor());
    EXPECT_FALSE(IsSignalled(worker.DoneEvent()));
    EXPECT_EQ(ReadRunningWorkerCount(), before + 1);
    worker.mayFinish.Set();
    ASSERT_EQ(WaitForSingleObject(worker.DoneEvent(), 5000), WAIT_OBJECT_0);
    // The count drops just after SignalDone, on the pool thread.
    EXPECT_TRUE(WaitUntil([&] { return ReadRunningWorkerCount() == before; }));
    EXPECT_EQ(worker.runs.load(), 1);
}

TEST(WorkerThread, SecondStartReturnsOnlyAfterTheRunHasSignalledDone)
{
    GatedWorker worker;
    worker.Start();
    ASSERT_TRUE(worker.entered.WaitFor());
    TestEvent secondStartReturned;
    TestThread starter([&] {
        worker.Start();
        secondStartReturned.Set();
    });
    // However long we look, the second Start cannot return while the first run
    // is held inside WorkerProc.
    EXPECT_FALSE(secondStartReturned.WaitFor(200));
    EXPECT_EQ(worker.runs.load(), 1);
    worker.mayFinish.Set();
    ASSERT_TRUE(secondStartReturned.WaitFor());
    ASSERT_TRUE(starter.Join());
    ASSERT_TRUE(WaitUntil([&] { return worker.runs.load() == 2; }));
    ASSERT_EQ(WaitForSingleObject(worker.DoneEvent(), 5000), WAIT_OBJECT_0);
}

TEST(WorkerThread, DestroyedIdleWorkersEventIsTakenByTheNextWorker)
{
    DrainPool();
    HANDLE first = nullptr;
    {
        auto worker = std::make_unique<IdleWorker>();
        first = worker->DoneEvent();
        worker->Start();
        ASSERT_EQ(WaitForSingleObject(first, 5000), WAIT_OBJECT_0);
        ASSERT_TRUE(WaitUntil([] { return ReadRunningWorkerCount() == 0; }));
    }
    EXPECT_TRUE(IsOpenHandle(first));
    IdleWorker next;
    EXPECT_EQ(next.DoneEvent(), first);
    EXPECT_TRUE(IsSignalled(next.DoneEvent()));
}

TEST(WorkerThread, WithTwentyEventsStoredADestroyedWorkerClosesItsEvent)
{
    DrainPool();
    std::vector<std::unique_ptr<IdleWorker>> workers;
    for (int i = 0; i < 21; ++i)
        workers.push_back(std::make_unique<IdleWorker>());
    HANDLE last = workers.back()->DoneEvent();
    workers.clear();  // the first twenty destroyed fill the table
    EXPECT_FALSE(IsOpenHandle(last));
    int stored = 0;
    while (HANDLE event = ModuleWaitEventTable.TakeEvent()) {
        ++stored;
        ZwClose(event);
    }
    EXPECT_EQ(stored, 20);
}

TEST(WorkerThread, ConstructionKeepsTheCallersLastError)
{
    SetLastError(0x0BADF00D);
    IdleWorker worker;
    EXPECT_EQ(GetLastError(), 0x0BADF00Du);
}

// The test module carries its own copy of the runtime; both meet in the
// process's section.
class TestModule {
public:
    TestModule() : module_(LoadLibraryW(L"runtime_test_module.dll"))
    {
        if (!module_)
            return;
        newWorker = Get<void* (*)(HANDLE*)>("TestModule_NewWorker");
        destroyWorker = Get<void (*)(void*)>("TestModule_DestroyWorker");
        startBlockingWorker = Get<void (*)(HANDLE, HANDLE)>("TestModule_StartBlockingWorker");
    }
    ~TestModule()
    {
        if (module_)
            FreeLibrary(module_);
    }
    TestModule(const TestModule&) = delete;
    TestModule& operator=(const TestModule&) = delete;
    bool loaded() const { return module_ && newWorker && destroyWorker && startBlockingWorker; }
    // Unloads now; returns FreeLibrary's result.
    bool Unload()
    {
        HMODULE module = module_;
        module_ = nullptr;
        return FreeLibrary(module) != FALSE;
    }

    void* (*newWorker)(HANDLE*) = nullptr;
    void (*destroyWorker)(void*) = nullptr;
    void (*startBlockingWorker)(HANDLE, HANDLE) = nullptr;

private:
    template <typename Function>
    Function Get(const char* name)
    {
        return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module_, name)));
    }
    HMODULE module_;
};

TEST(WorkerThread, EventsPassBetweenWorkersOfTwoModules)
{
    DrainPool();
    TestModule module;
    ASSERT_TRUE(module.loaded());

    // Theirs to ours.
    HANDLE theirs = nullptr;
    void* worker = module.newWorker(&theirs);
    module.destroyWorker(worker);
    {
        IdleWorker ours;
        EXPECT_EQ(ours.DoneEvent(), theirs);
        EXPECT_TRUE(IsSignalled(ours.DoneEvent()));
    }
    // Ours (returned by the destructor above) to theirs.
    HANDLE again = nullptr;
    worker = module.newWorker(&again);
    EXPECT_EQ(again, theirs);
    module.destroyWorker(worker);

    // Their unload empties the shared pool; ours still works afterwards.
    ASSERT_TRUE(module.Unload());
    EXPECT_FALSE(IsOpenHandle(theirs));
    EXPECT_EQ(ModuleWaitEventTable.TakeEvent(), nullptr);
    {
        IdleWorker ours;
        EXPECT_TRUE(IsSignalled(ours.DoneEvent()));
    }
    DrainPool();
}

// The host frees the module while a run of it is held: FreeLibrary returns at
// once (it used to wait for the run inside the loader lock, where a run that
// needs that lock to finish hangs it for ever), the module stays mapped for
// the run, and the pool unloads it once the run has returned.
OLV_CHILD_SCENARIO(ModuleFreedDuringARun)
{
    TestModule module;
    if (!module.loaded())
        return 3;
    TestEvent entered;
    TestEvent release;
    module.startBlockingWorker(entered.get(), release.get());
    if (!entered.WaitFor())
        return 4;
    if (!module.Unload())
        return 5;
    if (!GetModuleHandleW(L"runtime_test_module.dll"))
        return 6;
    release.Set();
    return WaitUntil([] { return GetModuleHandleW(L"runtime_test_module.dll") == nullptr; }) ? 0 : 7;
}

TEST(WorkerThread, ModuleFreedDuringARunStaysLoadedUntilTheRunHasReturned)
{
    EXPECT_EQ(RunChildScenario("ModuleFreedDuringARun").exitCode, 0u);
}

OLV_CHILD_SCENARIO(DoneSignalledTwice)
{
    IdleWorker worker;
    worker.Start();
    WaitForSingleObject(worker.DoneEvent(), INFINITE);
    worker.SignalDone();
    return 0;
}

TEST(WorkerThread, SignallingDoneTwiceIsFatal)
{
    EXPECT_EQ(RunChildScenario("DoneSignalledTwice").exitCode, BreakpointExitCode);
}

// The run's gate lives outside the worker, so that destroying the worker cannot
// release the run before the destructor has looked at the done event.
class ExternallyGatedWorker final : public WorkerThread {
public:
    ExternallyGatedWorker(HANDLE entered, HANDLE mayFinish) : entered_(entered), mayFinish_(mayFinish) {}
    void WorkerProc() override
    {
        SetEvent(entered_);
        WaitForSingleObject(mayFinish_, INFINITE);
    }

private:
    HANDLE entered_;
    HANDLE mayFinish_;
};

OLV_CHILD_SCENARIO(DestroyedWhileRunning)
{
    HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE mayFinish = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto* worker = new ExternallyGatedWorker(entered, mayFinish);
    worker->Start();
    WaitForSingleObject(entered, INFINITE);
    delete worker;
    return 0;
}

TEST(WorkerThread, DestroyingARunningWorkerIsFatal)
{
    EXPECT_EQ(RunChildScenario("DestroyedWhileRunning").exitCode, BreakpointExitCode);
}

}  // namespace
