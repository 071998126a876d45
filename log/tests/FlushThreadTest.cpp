// The writer thread, the flush entry OlvLog_FlushThread and the flush participants.
#include "LogTestSupport.h"

#include "log/FlushParticipant.h"
#include "log/OlvLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

using namespace logtest;

namespace {

constexpr uint64_t LargeFile = 64ull << 20;

DWORD RunFlushEntry(ULONG_PTR parameter)
{
    HANDLE thread = CreateThread(nullptr, 0, &OlvLog_FlushThread, reinterpret_cast<LPVOID>(parameter), 0, nullptr);
    if (thread == nullptr)
        return 0xFFFFFFFF;
    DWORD code = 0xFFFFFFFF;
    if (WaitForSingleObject(thread, 10000) == WAIT_OBJECT_0)
        GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    return code;
}

class RecordingParticipant : public FlushParticipant {
public:
    void Flush() override
    {
        order->push_back(this);
        OlvLog_Print(OlvLogInfo, L"participant %d", id);
    }
    int id = 0;
    std::vector<RecordingParticipant*>* order = nullptr;
};

// Ends the log's writer thread from inside, as code outside the log could.
bool EndWriter(ProcessLog* log)
{
    return QueueWriterCall(log, [](void*) { ExitThread(0); }, nullptr) &&
           WaitForSingleObject(log->writer.Thread(), 10000) == WAIT_OBJECT_0;
}

// Terminates the log's writer thread where it holds nothing: inside a call
// that waits, as the end of the process or another thread could.
bool TerminateWriter(ProcessLog* log)
{
    UniqueEvent started(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const bool held = started.valid() &&
                      QueueWriterCall(
                          log,
                          [](void* event) {
                              SetEvent(static_cast<HANDLE>(event));
                              Sleep(INFINITE);
                          },
                          started.get()) &&
                      WaitForSingleObject(started.get(), 10000) == WAIT_OBJECT_0;
    return held && TerminateThread(log->writer.Thread(), 0) &&
           WaitForSingleObject(log->writer.Thread(), 10000) == WAIT_OBJECT_0;
}

}  // namespace

TEST(FlushThread, WithoutLogEndsWithCodeTwo)
{
    ASSERT_EQ(CurrentLog.load(), nullptr);
    EXPECT_EQ(RunFlushEntry(0x1234), 2u);
}

TEST(FlushThread, WithLogSendsTheBatchAndItsOwnLineAndEndsWithCodeOne)
{
    TempFolder folder;
    std::wstring path = folder / L"flush.log";
    for (bool writerThread : {false, true}) {
        {
            ScopedLog log(path, 1, LargeFile, writerThread);
            ASSERT_EQ(log.result, OlvLogOpened);
            OlvLog_Print(OlvLogInfo, L"batched");
            EXPECT_EQ(RunFlushEntry(0x100000abc), 1u);
            ASSERT_TRUE(WriterDrained());
            // Only the low 32 bits of the parameter are shown.
            EXPECT_EQ(Messages(path), (std::vector<std::wstring>{L"batched", L"OlvLog_FlushThread(0xabc)"}));
        }
        DeleteFileW(path.c_str());
    }
}

TEST(FlushThread, ParticipantsAreFlushedInAddressOrderAndTheirLinesSent)
{
    TempFolder folder;
    std::wstring path = folder / L"participants.log";
    std::vector<RecordingParticipant*> order;
    RecordingParticipant participants[3];
    for (int i = 0; i < 3; ++i) {
        participants[i].id = i;
        participants[i].order = &order;
    }
    ScopedLog log(path, 1, LargeFile, false);
    ASSERT_EQ(log.result, OlvLogOpened);
    for (int i : {2, 0, 1, 2})
        ASSERT_TRUE(RegisterFlushParticipant(&participants[i]));
    EXPECT_EQ(RunFlushEntry(1), 1u);
    EXPECT_EQ(order, (std::vector<RecordingParticipant*>{&participants[0], &participants[1], &participants[2]}));
    EXPECT_EQ(Messages(path), (std::vector<std::wstring>{L"OlvLog_FlushThread(0x1)", L"participant 0",
                                                         L"participant 1", L"participant 2"}));

    UnregisterFlushParticipant(&participants[1]);
    order.clear();
    EXPECT_EQ(RunFlushEntry(2), 1u);
    EXPECT_EQ(order, (std::vector<RecordingParticipant*>{&participants[0], &participants[2]}));
    for (RecordingParticipant& participant : participants)
        UnregisterFlushParticipant(&participant);
}

TEST(FlushThread, AfterExitTeardownParticipantsAreSkippedButTheLogIsFlushed)
{
    TempFolder folder;
    std::wstring path = folder / L"teardown.log";
    EXPECT_EQ(RunChildScenario("Teardown", {path}).exitCode, 0u);
    EXPECT_EQ(Messages(path), (std::vector<std::wstring>{L"OlvLog_FlushThread(0x6)", L"participant flushed",
                                                         L"OlvLog_FlushThread(0x7)", L"flush exit code 1"}));
}

TEST(WriterThread, LinesOfManyThreadsArriveWholeAndInEachThreadsOrder)
{
    TempFolder folder;
    std::wstring path = folder / L"writer.log";
    const int threads = 4;
    const int perThread = 3000;
    {
        ScopedLog log(path, 1, LargeFile, true);
        ASSERT_EQ(log.result, OlvLogOpened);
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t)
            workers.emplace_back([t] {
                for (int i = 0; i < perThread; ++i)
                    OlvLog_Print(i % 500 == 499 ? OlvLogError : OlvLogInfo, L"thread %d line %d", t, i);
            });
        for (std::thread& worker : workers)
            worker.join();
    }
    std::vector<std::wstring> messages = Messages(path);
    ASSERT_EQ(messages.size(), static_cast<size_t>(threads * perThread));
    std::vector<int> next(threads, 0);
    for (const std::wstring& message : messages) {
        int t = -1;
        int i = -1;
        ASSERT_EQ(swscanf(message.c_str(), L"thread %d line %d", &t, &i), 2) << "torn line";
        ASSERT_TRUE(t >= 0 && t < threads);
        EXPECT_EQ(i, next[t]);
        next[t] = i + 1;
    }
}

// A writer thread that ends while code runs in it says so on its way out: the
// next push writes, itself and at once, what is queued and its own block. One
// that is terminated says nothing: a push that finds earlier blocks still
// queued 100 ticks later, or the eighth in a row, asks its handle. Either way
// nothing queued is lost, also when the log closes first.
TEST(WriterThread, EndedWriterSwitchesTheLogToDirectWritingAndLosesNothingQueued)
{
    TempFolder folder;
    ManualClock clock(0x1000);
    const struct {
        bool terminated;
        std::vector<size_t> linesAfter;  // in the file after each of the pushes below
    } cases[] = {{false, {1, 2, 3}}, {true, {0, 2, 3}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.terminated ? "terminated" : "exited");
        std::wstring path = folder / (c.terminated ? L"terminated.log" : L"exited.log");
        ScopedLog log(path, 1, LargeFile, true);
        ASSERT_EQ(log.result, OlvLogOpened);
        ProcessLog* current = CurrentLog.load();
        ASSERT_TRUE(c.terminated ? TerminateWriter(current) : EndWriter(current));
        OlvLog_Print(OlvLogError, L"first");
        EXPECT_EQ(Messages(path).size(), c.linesAfter[0]);
        ManualClock::now.store(ManualClock::now.load() + 100);
        OlvLog_Print(OlvLogError, L"second");
        EXPECT_EQ(Messages(path).size(), c.linesAfter[1]);
        EXPECT_FALSE(current->useWriterThread.load());
        OlvLog_Print(OlvLogError, L"third");
        EXPECT_EQ(Messages(path), (std::vector<std::wstring>{L"first", L"second", L"third"}));
    }
    // Blocks in quick succession: the eighth finds seven waiting.
    std::wstring burst = folder / L"terminated-burst.log";
    {
        ScopedLog log(burst, 1, LargeFile, true);
        ASSERT_EQ(log.result, OlvLogOpened);
        ASSERT_TRUE(TerminateWriter(CurrentLog.load()));
        for (int i = 1; i <= 8; ++i) {
            OlvLog_Print(OlvLogError, L"burst %d", i);
            EXPECT_EQ(Messages(burst).size(), i < 8 ? 0u : 8u) << "after block " << i;
        }
    }
    // What is still queued when the log closes, the closer writes.
    std::wstring closed = folder / L"terminated-closed.log";
    {
        ScopedLog log(closed, 1, LargeFile, true);
        ASSERT_EQ(log.result, OlvLogOpened);
        ASSERT_TRUE(TerminateWriter(CurrentLog.load()));
        OlvLog_Print(OlvLogError, L"queued at close");
    }
    EXPECT_EQ(Messages(closed), std::vector<std::wstring>{L"queued at close"});
}

// A log marked for a writer thread that it does not have writes the block
// itself instead of losing it.
TEST(WriterThread, BlockForAMissingWriterIsWrittenNotLost)
{
    TempFolder folder;
    std::wstring path = folder / L"missing.log";
    ScopedLog log(path, 1, LargeFile, false);
    ASSERT_EQ(log.result, OlvLogOpened);
    CurrentLog.load()->useWriterThread.store(true);
    OlvLog_Print(OlvLogError, L"kept");
    CurrentLog.load()->useWriterThread.store(false);
    EXPECT_EQ(Messages(path), std::vector<std::wstring>{L"kept"});
}

// A writer that writes nothing while lines keep coming: the queue used to grow
// without bound. Held, the submitting thread writes the queue itself once
// it has waited for room in vain; ended, the thread's handle says so while it
// waits. Either way the queue stays within its budget, a held writer's queue
// fills it to the byte (each batch holds its whole buffer), and the file gets
// every line in order.
TEST(WriterThread, AFloodPastTheBudgetStaysWithinItAndLosesOrReordersNoLine)
{
    TempFolder folder;
    const std::wstring filler(480, L'f');  // lines of about 1 KB: about 60 per batch
    const int lines = 1500;                // about 24 batches
    const size_t batch = sizeof(WriterWorkItem) + LogBufferBytes;
    const struct {
        bool ended;
        size_t budget;
        size_t peak;  // 0: any up to the budget
    } cases[] = {{false, 3 * batch, 3 * batch}, {false, 3 * batch - 1, 2 * batch}, {true, 3 * batch, 0}};
    for (const auto& c : cases) {
        const size_t index = &c - cases;
        SCOPED_TRACE(index);
        std::wstring path = folder / (L"flood" + std::to_wstring(index) + L".log");
        {
            ScopedLog log(path, 1, LargeFile, true);
            ASSERT_EQ(log.result, OlvLogOpened);
            ProcessLog* current = CurrentLog.load();
            current->writer.budget = c.budget;
            current->writer.roomWait = 50;  // no wait would see room here
            std::optional<HeldWriter> held;
            ASSERT_TRUE(c.ended ? EndWriter(current) : held.emplace(current).Held());
            size_t peak = 0;
            for (int i = 0; i < lines; ++i) {
                OlvLog_Print(OlvLogInfo, L"flood %04d %s", i, filler.c_str());
                peak = std::max(peak, current->writer.QueuedBytes());
            }
            EXPECT_EQ(peak, c.peak != 0 ? c.peak : std::min(peak, c.budget));
            EXPECT_EQ(current->useWriterThread.load(), !c.ended);
            if (held)
                held->Release();
            ASSERT_TRUE(WriterDrained());
        }
        std::vector<std::wstring> messages = Messages(path);
        ASSERT_EQ(messages.size(), static_cast<size_t>(lines));
        for (int i = 0; i < lines; ++i) {
            int number = -1;
            ASSERT_EQ(swscanf(messages[i].c_str(), L"flood %d", &number), 1);
            ASSERT_EQ(number, i);
        }
    }
}

// A push used to allocate a 32-byte work item; when that failed, the caller
// wrote its batch itself, ahead of the batches the writer still held. Now the
// item comes with the block, and a line that cannot even be copied is written
// by the caller after everything queued.
TEST(WriterThread, AnExhaustedHeapNeverPutsALineAheadOfEarlierOnes)
{
    StarvedLog starved(L"exhausted.log", 512 * 1024);
    ASSERT_TRUE(starved.Ready());
    OlvLog_Print(OlvLogError, L"first");  // queued behind the held writer
    std::vector<void*> fill;
    for (size_t size : {4096, 16})
        while (void* block = HeapAlloc(starved.Heap(), 0, size))
            fill.push_back(block);
    OlvLog_Print(OlvLogError, L"second");  // a batch queued without a new allocation
    OlvLog_Print(OlvLogError, L"third");   // neither a batch buffer nor a copy: written here
    const std::vector<std::wstring> expected{L"first", L"second", L"third"};
    EXPECT_EQ(Messages(starved.Path()), expected);

    for (void* block : fill)
        HeapFree(starved.Heap(), 0, block);
    ASSERT_TRUE(starved.Release());
    EXPECT_EQ(Messages(starved.Path()), expected);
}
