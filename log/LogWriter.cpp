// The writer thread and its queue (the tables are in ProcessLog.h). Batches
// reach the thread pushed under the buffer lock, so they reach the file in
// submission order while the submitting threads never wait for the disk. The
// thread takes every block queued since its last look in one go; a push wakes
// it only when it sleeps, through a condition variable, which costs far less
// than a kernel call per batch (an APC to a thread costs about 200 us under
// Wine). CompleteBlock, the way any other thread writes a block, lives here
// too: it writes what is still queued first.
#include "log/ProcessLog.h"
#include "base/NtApi.h"
#include "base/ThreadQuery.h"

#include <intrin.h>

namespace {

void* DataOf(WriterWorkItem* item)
{
    return item + 1;
}

WriterWorkItem* ItemOf(void* data)
{
    return static_cast<WriterWorkItem*>(data) - 1;
}

// The pushed items, newest first, turned oldest first.
WriterWorkItem* OldestFirst(WriterWorkItem* newestFirst)
{
    WriterWorkItem* oldestFirst = nullptr;
    while (newestFirst != nullptr) {
        WriterWorkItem* next = newestFirst->next;
        newestFirst->next = oldestFirst;
        oldestFirst = newestFirst;
        newestFirst = next;
    }
    return oldestFirst;
}

// Whether anything is queued. A look without the file lock (the backlog only
// changes under it): the writer's last look before it sleeps, which the
// protocol in ProcessLog.h makes safe, and cheap tests before taking the lock.
bool Queued(ProcessLog* log)
{
    return log->writerQueue.load() != nullptr || OLV_TS_UNCHECKED_READ(log->writerBacklog).load() != nullptr;
}

// An item is done: its memory goes back to the heap and leaves the budget, and
// a push that waits for room is told.
void Retire(ProcessLog* log, WriterWorkItem* item)
{
    const uint32_t size = item->size;
    HeapFree(log->heap, 0, item);
    log->writerQueueBytes.fetch_sub(size);
    if (log->writerRoomWanted.load())
        SetEvent(log->writerRoom);
}

// What a thread holding the file lock does with the calls it meets in the queue.
enum class QueuedCalls {
    Run,   // the writer thread: stop at the first and return it
    Keep,  // another thread while the writer lives: leave them, in order, to it
    Drop,  // another thread once the writer has ended: free them unrun
};

struct WriterCall {
    void (*run)(void*) = nullptr;
    void* context = nullptr;
};

// Writes queued blocks oldest first, with the pushed items taken behind the
// backlog (by the writer only once the backlog is empty: the calls it stopped
// at keep their place). A call met in Run mode is taken off the backlog and
// freed before it is returned: it runs once the file lock is released, and
// may end the thread or let its caller go on to change the heap.
WriterCall WriteQueue(ProcessLog* log, QueuedCalls calls) OLV_REQUIRES(log->fileLock)
{
    WriterWorkItem* items = log->writerBacklog.load();
    if (items == nullptr || calls != QueuedCalls::Run) {
        WriterWorkItem** end = &items;
        while (*end != nullptr)
            end = &(*end)->next;
        *end = OldestFirst(log->writerQueue.exchange(nullptr));
    }
    WriterCall call;
    WriterWorkItem* kept = nullptr;
    WriterWorkItem** keptEnd = &kept;
    while (items != nullptr) {
        WriterWorkItem* item = items;
        items = item->next;
        if (item->call == nullptr) {
            // A queued block is owned and never fatal (DispatchBlock).
            WriteBlock(log, SubmitOwned, DataOf(item), item->bytes);
            Retire(log, item);
        } else if (calls == QueuedCalls::Keep) {
            *keptEnd = item;
            keptEnd = &item->next;
        } else if (calls == QueuedCalls::Drop) {
            Retire(log, item);
        } else {
            call = WriterCall{item->call, item->context};
            Retire(log, item);
            break;
        }
    }
    *keptEnd = items;
    log->writerBacklog.store(kept);
    return call;
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

// The writer thread has ended (from outside: the closer alone asks it to):
// from now on the submitting threads write, and what it left is written here.
void SwitchToDirectWriting(ProcessLog* log)
{
    log->useWriterThread.store(false);
    DrainWriterQueue(log, true);
}

// When items wait this long or this many, a push asks whether the writer
// thread is still there. A writer that is merely late (a busy machine) is not
// asked on every push: the question costs a kernel call.
constexpr uint32_t WriterLagTicks = 100;
constexpr uint32_t WriterLagItems = 8;

// Queues an item and wakes the writer. Returns false when the writer was found
// ended: everything queued, this item included, has then been written here.
bool Push(ProcessLog* log, WriterWorkItem* item)
{
    // Counted before it can be taken, so the count never drops below what is queued.
    log->writerQueueBytes.fetch_add(item->size);
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
        SwitchToDirectWriting(log);
        return false;
    }
    WakeWriter(log);
    return true;
}

enum class Room { Made, WriterStuck, WriterEnded };

// Waits until `size` more bytes fit in the budget (or nothing is queued), at
// most writerRoomWait. The writer signals writerRoom after each item it
// retires while a push waits; its handle tells an ended writer apart. The
// caller holds the buffer lock, so it is the only push that waits.
Room WaitForRoom(ProcessLog* log, size_t size)
{
    const ULONGLONG start = GetTickCount64();
    // Announced before the count is read; the writer reads the announcement
    // after it lowers the count: one of the two sees the other.
    log->writerRoomWanted.store(true);
    Room room = Room::WriterStuck;
    for (;;) {
        const size_t queued = log->writerQueueBytes.load();
        if (queued == 0 || queued + size <= log->writerQueueBudget) {
            room = Room::Made;
            break;
        }
        const ULONGLONG waited = GetTickCount64() - start;
        if (waited >= log->writerRoomWait)
            break;
        HANDLE handles[2] = {log->writerRoom, log->writerThread};
        DWORD woken = WaitForMultipleObjects(2, handles, FALSE, static_cast<DWORD>(log->writerRoomWait - waited));
        if (woken == WAIT_OBJECT_0 + 1) {
            room = Room::WriterEnded;
            break;
        }
        if (woken != WAIT_OBJECT_0 && woken != WAIT_TIMEOUT)
            break;
    }
    log->writerRoomWanted.store(false);
    return room;
}

// Sleeps until a push or the closer wakes the writer. Announces the sleep
// before the last look at the queue (see the table in ProcessLog.h).
void SleepUntilWoken(ProcessLog* log)
{
    AcquireSRWLockExclusive(&log->writerLock);
    log->writerState.store(WriterSleeping);
    while (log->writerState.load() == WriterSleeping && !Queued(log) && !log->writerStopRequested.load())
        SleepConditionVariableSRW(&log->writerWake, &log->writerLock, INFINITE, 0);
    log->writerState.store(WriterAwake);
    ReleaseSRWLockExclusive(&log->writerLock);
}

}  // namespace

void CompleteBlock(ProcessLog* log, uint32_t flags, void* data, uint32_t bytes) noexcept
{
    AcquireFileLock(log);
    bool callsLeft = false;
    if (Queued(log)) {
        WriteQueue(log, QueuedCalls::Keep);
        callsLeft = log->writerBacklog.load() != nullptr;
    }
    WriteBlock(log, flags, data, bytes);
    ReleaseFileLock(log);
    if (callsLeft)
        WakeWriter(log);
    if (flags & SubmitFatal)
        __debugbreak();
    if (flags & SubmitOwned)
        FreeOwnedBlock(log, data);
}

void QueueToWriter(ProcessLog* log, uint32_t flags, void* data, uint32_t bytes) noexcept
{
    // Without a thread to take it, the block is written here rather than leaked.
    if (log->writerThread == nullptr) {
        CompleteBlock(log, flags, data, bytes);
        return;
    }
    WriterWorkItem* item = ItemOf(data);
    const size_t queued = log->writerQueueBytes.load();
    if (queued != 0 && queued + item->size > log->writerQueueBudget) {
        const Room room = WaitForRoom(log, item->size);
        if (room == Room::WriterEnded)
            SwitchToDirectWriting(log);
        if (room != Room::Made) {
            // After everything queued, under the file lock: order holds, and
            // a stuck writer finds nothing of it left when it goes on.
            CompleteBlock(log, flags, data, bytes);
            return;
        }
    }
    item->call = nullptr;
    item->context = nullptr;
    item->bytes = bytes;
    Push(log, item);
}

bool QueueWriterCall(ProcessLog* log, void (*call)(void* context), void* context) noexcept
{
    if (log->writerThread == nullptr || !log->useWriterThread.load())
        return false;
    auto item = static_cast<WriterWorkItem*>(HeapAlloc(log->heap, 0, sizeof(WriterWorkItem)));
    if (item == nullptr)
        return false;
    *item = WriterWorkItem{nullptr, call, context, 0, sizeof(WriterWorkItem)};
    return Push(log, item);
}

void RequestWriterStop(ProcessLog* log) noexcept
{
    log->writerStopRequested.store(true);
    WakeWriter(log);
}

void DrainWriterQueue(ProcessLog* log, bool writerEnded) noexcept
{
    AcquireFileLock(log);
    WriteQueue(log, writerEnded ? QueuedCalls::Drop : QueuedCalls::Keep);
    const bool callsLeft = log->writerBacklog.load() != nullptr;
    ReleaseFileLock(log);
    if (callsLeft)
        WakeWriter(log);
}

DWORD WINAPI WriterThreadProc(LPVOID parameter)
{
    auto log = static_cast<ProcessLog*>(parameter);
    for (;;) {
        // Read before the queue is looked at: the closer asks only after its
        // last batch, so a stop seen here means that batch is in this look.
        const bool stop = log->writerStopRequested.load();
        if (Queued(log)) {
            AcquireFileLock(log);
            const WriterCall call = WriteQueue(log, QueuedCalls::Run);
            ReleaseFileLock(log);
            if (call.run != nullptr)
                call.run(call.context);
            continue;
        }
        if (stop)
            return 0;
        SleepUntilWoken(log);
    }
}
