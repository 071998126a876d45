#include "runtime/SyncLock.h"

#include "base/ThreadQuery.h"
#include "runtime/tests/LockTestSupport.h"
#include "tests/support/ChildScenario.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace testsupport;

namespace {

// Reads the counts as the lock itself does: under `core`. Only valid while no
// writer owns the lock.
struct Counts {
    long shared;
    long exclusive;
};
Counts ReadCounts(SyncLock& lock)
{
    lock.core.Acquire();
    Counts counts{lock.sharedCount, lock.exclusiveCount};
    lock.core.Release();
    return counts;
}

TEST(SyncLock, WriterWaitsUntilBothReadersHaveReleased)
{
    SyncLock lock;
    TestEvent readersIn[2];
    TestEvent readerMayLeave[2];
    TestEvent writerOwns;
    std::vector<std::unique_ptr<TestThread>> readers;
    for (int r = 0; r < 2; ++r)
        readers.push_back(std::make_unique<TestThread>([&, r] {
            SharedLockHolder holder(lock);
            readersIn[r].Set();
            readerMayLeave[r].WaitFor(INFINITE);
        }));
    ASSERT_TRUE(readersIn[0].WaitFor());
    ASSERT_TRUE(readersIn[1].WaitFor());

    TestThread writer([&] {
        lock.AcquireExclusive();
        writerOwns.Set();
        EXPECT_EQ(lock.sharedCount, 0);
        lock.ReleaseExclusive();
    });
    // The writer is counted and waits at the gate, without holding `core`.
    ASSERT_TRUE(WaitUntil([&] { return ReadCounts(lock).exclusive == 1; }));

    readerMayLeave[0].Set();
    ASSERT_TRUE(readers[0]->Join());
    EXPECT_EQ(ReadCounts(lock).shared, 1);
    EXPECT_FALSE(writerOwns.IsSet());

    // The second release signals the gate.
    readerMayLeave[1].Set();
    ASSERT_TRUE(writerOwns.WaitFor());
    ASSERT_TRUE(writer.Join());
    Counts rest = ReadCounts(lock);
    EXPECT_EQ(rest.shared, 0);
    EXPECT_EQ(rest.exclusive, 0);
    EXPECT_NE(lock.gate.load(), nullptr);
}

TEST(SyncLock, ReadersQueueWhileAWriterOwns)
{
    SyncLock lock;
    TestEvent readerIn;
    lock.AcquireExclusive();
    TestThread reader([&] {
        SharedLockHolder holder(lock);
        readerIn.Set();
    });
    ASSERT_TRUE(WaitUntil([&] { return lock.core.count.load() == 2; }));
    EXPECT_FALSE(readerIn.IsSet());
    lock.ReleaseExclusive();
    ASSERT_TRUE(readerIn.WaitFor());
    ASSERT_TRUE(reader.Join());
    EXPECT_EQ(ReadCounts(lock).shared, 0);
}

// Writers keep two values equal; readers must never see them differ. Ends with
// the lock at rest.
class SyncLockStress : public testing::TestWithParam<unsigned> {};

TEST_P(SyncLockStress, ReadersNeverSeeAHalfWrittenPairAndTheLockComesBackToRest)
{
    const unsigned threads = GetParam();
    constexpr int Rounds = 2000;
    SyncLock lock;
    long first = 0;
    long second = 0;
    std::atomic<long> tornReads{0};
    TestEvent go;
    {
        std::vector<std::unique_ptr<TestThread>> workers;
        for (unsigned t = 0; t < threads; ++t)
            workers.push_back(std::make_unique<TestThread>([&, t] {
                go.WaitFor(INFINITE);
                for (int i = 0; i < Rounds; ++i) {
                    if ((i + t) % 4 == 0) {
                        ExclusiveSyncLockHolder holder(lock);
                        ++first;
                        ++second;
                    } else {
                        SharedLockHolder holder(lock);
                        if (first != second)
                            ++tornReads;
                    }
                }
            }));
        go.Set();
        for (auto& worker : workers)
            ASSERT_TRUE(worker->Join(60000));
    }
    EXPECT_EQ(tornReads.load(), 0);
    EXPECT_EQ(first, second);
    Counts rest = ReadCounts(lock);
    EXPECT_EQ(rest.shared, 0);
    EXPECT_EQ(rest.exclusive, 0);
    EXPECT_EQ(lock.core.count.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(ThreadCounts, SyncLockStress, testing::Values(2u, 4u, 8u),
                         [](const testing::TestParamInfo<unsigned>& info) {
                             return std::to_string(info.param) + "Threads";
                         });

// Two readers end without releasing; the writer, left alone, forces the shared
// count to 0 after its 100 ms wait at the gate and owns the lock.
OLV_CHILD_SCENARIO(WriterOutlivesItsReaders)
{
    static SyncLock lock;
    for (int r = 0; r < 2; ++r) {
        if (!RunOnThreadThatEnds([](LPVOID) -> DWORD {
                lock.AcquireShared();
                return 0;
            }))
            return 3;
    }
    lock.AcquireExclusive();
    bool forced = lock.sharedCount == 0 && lock.exclusiveCount == 1;
    lock.ReleaseExclusive();
    return forced ? 0 : 4;
}

TEST(SyncLock, LastThreadWriterForcesTheSharedCountToZero)
{
    EXPECT_EQ(RunChildScenario("WriterOutlivesItsReaders").exitCode, 0u);
}

}  // namespace
