#include "runtime/ExclusiveLock.h"
#include "runtime/SyncLock.h"

#include "base/NtApi.h"
#include "base/ThreadQuery.h"
#include "runtime/tests/LockTestSupport.h"
#include "tests/support/ChildScenario.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

// Locks are process-wide globals: they must need no dynamic initialisation.
constinit ExclusiveLock GlobalExclusiveLock;
constinit SyncLock GlobalSyncLock;

TEST(ExclusiveLock, UncontendedLockNeverCreatesItsEvent)
{
    for (bool multiProcessor : {false, true}) {
        MultiProcessorOverride path(multiProcessor);
        ExclusiveLock lock;
        for (int i = 0; i < 1000; ++i) {
            lock.Acquire();
            EXPECT_EQ(lock.count.load(), 1);
            lock.Release();
        }
        EXPECT_EQ(lock.event.load(), nullptr) << "multiProcessor=" << multiProcessor;
        EXPECT_EQ(lock.count.load(), 0);
    }
}

TEST(ExclusiveLock, QueuedWaiterBecomesOwnerOnRelease)
{
    for (bool multiProcessor : {false, true}) {
        MultiProcessorOverride path(multiProcessor);
        ExclusiveLock lock;
        TestEvent owned;
        lock.Acquire();
        TestThread waiter([&] {
            lock.Acquire();
            owned.Set();
            lock.Release();
        });
        // Queued: counted, and its wait will need the event.
        ASSERT_TRUE(WaitUntil([&] { return lock.count.load() == 2 && lock.event.load() != nullptr; }));
        EXPECT_FALSE(owned.IsSet());
        lock.Release();
        ASSERT_TRUE(owned.WaitFor());
        ASSERT_TRUE(waiter.Join());
        EXPECT_EQ(lock.count.load(), 0);
        EXPECT_NE(lock.event.load(), nullptr);
    }
}

TEST(ExclusiveLock, QueuedWaiterKeepsItsLastErrorValue)
{
    ExclusiveLock lock;
    lock.Acquire();
    DWORD errorAfterAcquire = 0;
    TestThread waiter([&] {
        SetLastError(0x1234ABCD);
        lock.Acquire();
        errorAfterAcquire = GetLastError();
        lock.Release();
    });
    ASSERT_TRUE(WaitUntil([&] { return lock.count.load() == 2; }));
    lock.Release();
    ASSERT_TRUE(waiter.Join());
    EXPECT_EQ(errorAfterAcquire, 0x1234ABCDu);
}

TEST(ExclusiveLock, HolderReleasesWhenAnExceptionPasses)
{
    ExclusiveLock lock;
    try {
        ExclusiveLockHolder holder(lock);
        EXPECT_EQ(lock.count.load(), 1);
        throw std::runtime_error("leave the scope");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(lock.count.load(), 0);

    lock.Acquire();
    {
        ExclusiveLockHolder adopted(lock, std::adopt_lock);
        EXPECT_EQ(lock.count.load(), 1);
    }
    EXPECT_EQ(lock.count.load(), 0);
}

TEST(ExclusiveLock, DestroyClosesTheEvent)
{
    HANDLE event = nullptr;
    {
        ExclusiveLock lock;
        lock.Acquire();
        TestThread waiter([&] {
            lock.Acquire();
            lock.Release();
        });
        ASSERT_TRUE(WaitUntil([&] { return lock.event.load() != nullptr; }));
        lock.Release();
        ASSERT_TRUE(waiter.Join());
        event = lock.event.load();
        DWORD flags = 0;
        EXPECT_TRUE(GetHandleInformation(event, &flags));
    }
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(event, &flags));
}

TEST(MultiProcessor, AffinityMaskAboveOneSelectsTheMultiProcessorPath)
{
    struct Row {
        bool queried;
        unsigned long long mask;
        bool expected;
    };
    const Row rows[] = {
        {true, 1, false},  {true, 2, true},   {true, 3, true},  {true, 0, false},
        {false, 0xFF, false}, {true, 0x8000000000000000ull, true},
    };
    for (const Row& row : rows)
        EXPECT_EQ(MultiProcessorFromAffinity(row.queried, row.mask), row.expected)
            << "queried=" << row.queried << " mask=" << row.mask;
}

TEST(MultiProcessor, IsSetAtModuleStartUpFromTheProcessAffinity)
{
    EXPECT_EQ(MultiProcessor, DetectMultiProcessor());
}

// Several threads increment a plain counter under the lock; a lost hand-over
// shows as a hang (caught by the join time-out), a double owner as a lost
// increment, and an unbalanced count as a lock word not back at 0.
struct StressCase {
    unsigned threads;
    bool multiProcessor;
};

class ExclusiveLockStress : public testing::TestWithParam<StressCase> {};

TEST_P(ExclusiveLockStress, EveryIncrementIsKeptAndTheLockComesBackToRest)
{
    const StressCase param = GetParam();
    MultiProcessorOverride path(param.multiProcessor);
    constexpr long PerThread = 5000;
    ExclusiveLock lock;
    long counter = 0;
    TestEvent go;
    {
        std::vector<std::unique_ptr<TestThread>> threads;
        for (unsigned t = 0; t < param.threads; ++t)
            threads.push_back(std::make_unique<TestThread>([&] {
                go.WaitFor(INFINITE);
                for (long i = 0; i < PerThread; ++i) {
                    ExclusiveLockHolder holder(lock);
                    ++counter;
                }
            }));
        go.Set();
        for (auto& thread : threads)
            ASSERT_TRUE(thread->Join(60000));
    }
    EXPECT_EQ(counter, PerThread * static_cast<long>(param.threads));
    EXPECT_EQ(lock.count.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(ThreadCounts, ExclusiveLockStress,
                         testing::Values(StressCase{2, false}, StressCase{2, true}, StressCase{4, false},
                                         StressCase{4, true}, StressCase{8, false}, StressCase{8, true}),
                         [](const testing::TestParamInfo<StressCase>& info) {
                             return std::to_string(info.param.threads) + "Threads" +
                                    (info.param.multiProcessor ? "MultiProcessor" : "SingleProcessor");
                         });

// A thread takes the lock and ends without releasing it; once the main thread
// is the only one left, its acquire gives up waiting and it owns the lock.
OLV_CHILD_SCENARIO(LockLeftHeldByAnEndedThread)
{
    static ExclusiveLock lock;
    if (!RunOnThreadThatEnds([](LPVOID) -> DWORD {
            lock.Acquire();
            return 0;
        }))
        return 3;  // the escape cannot be shown in this process
    lock.Acquire();
    return lock.count.load() == 2 ? 0 : 4;
}

TEST(ExclusiveLock, LastThreadObtainsALockLeftHeldByAnEndedThread)
{
    EXPECT_EQ(RunChildScenario("LockLeftHeldByAnEndedThread").exitCode, 0u);
}

// The waiter keeps waiting while another thread exists, and gives up once that
// thread has ended.
OLV_CHILD_SCENARIO(WaiterGivesUpWhenItBecomesTheLastThread)
{
    static ExclusiveLock lock;
    static HANDLE mayEnd = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    lock.Acquire();
    HANDLE helper = CreateThread(
        nullptr, 0, [](LPVOID) -> DWORD {
            WaitForSingleObject(mayEnd, INFINITE);
            return 0;
        },
        nullptr, 0, nullptr);
    // Ends the helper only after the main thread has queued on the lock.
    HANDLE ender = CreateThread(
        nullptr, 0, [](LPVOID) -> DWORD {
            WaitUntil([] { return lock.count.load() >= 2; });
            SetEvent(mayEnd);
            return 0;
        },
        nullptr, 0, nullptr);
    CloseHandle(helper);
    CloseHandle(ender);
    lock.Acquire();  // the main thread owns it already: only the escape ends this
    return 0;
}

TEST(ExclusiveLock, WaiterGivesUpOnceItIsTheLastThread)
{
    EXPECT_EQ(RunChildScenario("WaiterGivesUpWhenItBecomesTheLastThread").exitCode, 0u);
}

OLV_CHILD_SCENARIO(ReleaseOfAFreeLock)
{
    ExclusiveLock lock;
    lock.Acquire();
    lock.Release();
    lock.Release();
    return 0;
}

TEST(ExclusiveLock, ReleasingAFreeLockIsFatal)
{
    EXPECT_EQ(RunChildScenario("ReleaseOfAFreeLock").exitCode, BreakpointExitCode);
}

}  // namespace
