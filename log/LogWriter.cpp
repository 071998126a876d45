// The writer thread: batches reach it through the log's writer queue, pushed
// under the buffer lock, so they reach the file in submission order while the
// submitting threads never wait for the disk. The thread takes every block
// queued since its last look in one go; a push wakes it only when it sleeps,
// through a condition variable, which costs far less than a kernel call per
// batch (an APC to a thread costs about 200 us under Wine).
#include "log/ProcessLog.h"
#include "runtime/base/NtApi.h"
#include "runtime/base/ThreadQuery.h"

// A block to write, or a call to run on the writer thread in queue order.
struct WriterWorkItem {
    WriterWorkItem* next;      // in the queue: the item pushed before; once taken: the one after
    void (*call)(void*);       // null for a block
    void* data;                // the block, or the call's context
    uint32_t flags;
    uint32_t bytes;
};
static_assert(sizeof(WriterWorkItem) == 32);

namespace {

// Takes the whole queue and turns it oldest first.
WriterWorkItem* TakeQueue(ProcessLog* log)
{
    WriterWorkItem* newestFirst = log->writerQueue.exchange(nullptr);
    WriterWorkItem* oldestFirst = nullptr;
    while (newestFirst != nullptr) {
        WriterWorkItem* next = newestFirst->next;
        newestFirst->next = oldestFirst;
        oldestFirst = newestFirst;
        newestFirst = next;
    }
    return oldestFirst;
}

// Completes taken items in order. A call's item is freed before the call runs:
// the call may end the thread, or let its caller go on to change the heap.
void RunItems(ProcessLog* log, WriterWorkItem* items, bool runCalls)
{
    while (items != nullptr) {
        WriterWorkItem item = *items;
        HeapFree(log->heap, 0, items);
        items = item.next;
        if (item.call == nullptr)
            CompleteBlock(log, item.flags, item.data, item.bytes);
        else if (runCalls)
            item.call(item.data);
    }
}

void WakeWriter(ProcessLog* log)
{
    if (log->writerState.exchange(WriterAwake) != WriterSleeping)
        return;
    // The writer holds the lock from its last look at the queue until its wait
    // begins: passing through the lock puts this wake after that wait's start.
    // A writer ended inside that short stretch (threads end anywhere at process
    // exit) never releases it; the last thread left has nobody to wake.
    while (!TryAcquireSRWLockExclusive(&log->writerLock)) {
        if (IsLastThread())
            return;
        ZwYieldExecution();
    }
    ReleaseSRWLockExclusive(&log->writerLock);
    WakeConditionVariable(&log->writerWake);
}

// When items wait this long or this many, a push asks whether the writer
// thread is still there. A writer that is merely late (a busy machine) is not
// asked on every push: the question costs a kernel call.
constexpr uint32_t WriterLagTicks = 100;
constexpr uint32_t WriterLagItems = 8;

// Queues an item and wakes the writer. Nothing ends the writer before the
// closer asks, except code outside the log: when the queue suggests it, the
// thread is asked, and once it has ended this thread writes the queue.
// Returns false when the writer was found ended.
bool Push(ProcessLog* log, WriterWorkItem* item)
{
    WriterWorkItem* previous = log->writerQueue.load();
    do {
        item->next = previous;
    } while (!log->writerQueue.compare_exchange_weak(previous, item));

    // Items may be taken and freed from here on: only the log's own counts are
    // read. A push racing the writer's take may count one item too many or
    // too few, which only moves the question by a push.
    const uint32_t now = LogTickCount.load()();
    bool lags = false;
    if (previous == nullptr) {
        log->writerQueueSince.store(now);
        log->writerQueueDepth.store(1);
    } else {
        lags = log->writerQueueDepth.fetch_add(1) + 1 >= WriterLagItems ||
               now - log->writerQueueSince.load() >= WriterLagTicks;
    }
    if (lags && WaitForSingleObject(log->writerThread, 0) == WAIT_OBJECT_0) {
        // From now on the submitting threads write.
        log->useWriterThread.store(false);
        RunItems(log, TakeQueue(log), false);
        return false;
    }
    WakeWriter(log);
    return true;
}

// Sleeps until a push or the closer wakes the writer. Announces the sleep
// before the last look at the queue (see the table in ProcessLog.h).
void SleepUntilWoken(ProcessLog* log)
{
    AcquireSRWLockExclusive(&log->writerLock);
    log->writerState.store(WriterSleeping);
    while (log->writerState.load() == WriterSleeping && log->writerQueue.load() == nullptr &&
           !log->writerStopRequested.load())
        SleepConditionVariableSRW(&log->writerWake, &log->writerLock, INFINITE, 0);
    log->writerState.store(WriterAwake);
    ReleaseSRWLockExclusive(&log->writerLock);
}

}  // namespace

void QueueToWriter(ProcessLog* log, uint32_t flags, void* data, uint32_t bytes) noexcept
{
    // Without a thread to take it, the block is written here rather than leaked.
    if (log->writerThread == nullptr) {
        CompleteBlock(log, flags, data, bytes);
        return;
    }
    auto item = static_cast<WriterWorkItem*>(HeapAlloc(log->heap, 0, sizeof(WriterWorkItem)));
    if (item == nullptr) {
        CompleteBlock(log, flags, data, bytes);
        return;
    }
    *item = WriterWorkItem{nullptr, nullptr, data, flags, bytes};
    Push(log, item);
}

bool QueueWriterCall(ProcessLog* log, void (*call)(void* context), void* context) noexcept
{
    if (log->writerThread == nullptr)
        return false;
    auto item = static_cast<WriterWorkItem*>(HeapAlloc(log->heap, 0, sizeof(WriterWorkItem)));
    if (item == nullptr)
        return false;
    *item = WriterWorkItem{nullptr, call, context, 0, 0};
    return Push(log, item);
}

void RequestWriterStop(ProcessLog* log) noexcept
{
    log->writerStopRequested.store(true);
    WakeWriter(log);
}

void DrainWriterQueue(ProcessLog* log) noexcept
{
    RunItems(log, TakeQueue(log), false);
}

DWORD WINAPI WriterThreadProc(LPVOID parameter)
{
    auto log = static_cast<ProcessLog*>(parameter);
    for (;;) {
        // Read before the queue is taken: the closer asks only after its last
        // batch, so a stop seen here means that batch is in this take.
        const bool stop = log->writerStopRequested.load();
        if (WriterWorkItem* items = TakeQueue(log)) {
            RunItems(log, items, true);
            continue;
        }
        if (stop)
            return 0;
        SleepUntilWoken(log);
    }
}
