#include "log/LogWriterQueue.h"

#include "log/ProcessLog.h"
#include "base/NtApi.h"
#include "base/ThreadQuery.h"

namespace {

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

}  // namespace

LogWriterQueue::~LogWriterQueue()
{
    // Only once the writer has ended (the closer frees the log no sooner), so
    // no thread still holds a value: no callback runs here.
    if (exitSlot != FLS_OUT_OF_INDEXES)
        FlsFree(exitSlot);
}

bool LogWriterQueue::Prepare() noexcept
{
    room.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    exitSlot = FlsAlloc(&LogWriterQueue::NoteWriterEnded);
    return room.valid();
}

void LogWriterQueue::EnterWriter() noexcept
{
    if (exitSlot != FLS_OUT_OF_INDEXES)
        FlsSetValue(exitSlot, this);
}

void WINAPI LogWriterQueue::NoteWriterEnded(void* queue) noexcept
{
    // Runs in the ending thread, during its exit: a store, nothing more.
    if (queue != nullptr)
        static_cast<LogWriterQueue*>(queue)->writerEnded.store(true);
}

bool LogWriterQueue::WriterGone(bool ask) const noexcept
{
    return writerEnded.load() || (ask && WaitForSingleObject(writerThread.get(), 0) == WAIT_OBJECT_0);
}

bool LogWriterQueue::Fits(size_t size) const noexcept
{
    const size_t queued = queuedBytes.load();
    return queued == 0 || queued + size <= budget;
}

LogWriterQueue::Room LogWriterQueue::MakeRoom(size_t size) noexcept
{
    const ULONGLONG start = GetTickCount64();
    // Announced before the count is read; Retire reads the announcement after
    // it lowers the count: one of the two sees the other.
    roomWanted.store(true);
    Room made = Room::WriterStuck;
    for (;;) {
        if (Fits(size)) {
            made = Room::Made;
            break;
        }
        if (writerEnded.load()) {
            made = Room::WriterEnded;
            break;
        }
        const ULONGLONG waited = GetTickCount64() - start;
        if (waited >= roomWait)
            break;
        HANDLE handles[2] = {room.get(), writerThread.get()};
        DWORD woken = WaitForMultipleObjects(2, handles, FALSE, static_cast<DWORD>(roomWait - waited));
        if (woken == WAIT_OBJECT_0 + 1) {
            made = Room::WriterEnded;
            break;
        }
        if (woken != WAIT_OBJECT_0 && woken != WAIT_TIMEOUT)
            break;
    }
    roomWanted.store(false);
    return made;
}

bool LogWriterQueue::Lags(bool first) noexcept
{
    // Items may be taken and freed from here on: only the queue's own counts
    // are read. A push racing the writer's take may count one item too many
    // or too few, which only moves the question by a push.
    const uint32_t now = LogTickCount.load()();
    if (first) {
        since.store(now);
        depth.store(1);
        return false;
    }
    return depth.fetch_add(1) + 1 >= WriterLagItems || now - since.load() >= WriterLagTicks;
}

bool LogWriterQueue::Push(WriterWorkItem* item) noexcept
{
    // Counted before it can be taken, so the count never drops below what is queued.
    queuedBytes.fetch_add(item->size);
    WriterWorkItem* previous = pushed.load();
    do {
        item->next = previous;
    } while (!pushed.compare_exchange_weak(previous, item));

    if (WriterGone(false) || (Lags(previous == nullptr) && WriterGone(true)))
        return false;
    Wake();
    return true;
}

bool LogWriterQueue::Queued() const noexcept
{
    return pushed.load() != nullptr || backlog.load() != nullptr;
}

WriterWorkItem* LogWriterQueue::Take(LogSpinLock&, bool pushedToo) noexcept
{
    WriterWorkItem* items = backlog.load();
    if (items == nullptr || pushedToo) {
        WriterWorkItem** end = &items;
        while (*end != nullptr)
            end = &(*end)->next;
        *end = OldestFirst(pushed.exchange(nullptr));
    }
    backlog.store(nullptr);
    return items;
}

void LogWriterQueue::Keep(LogSpinLock&, WriterWorkItem* items) noexcept
{
    backlog.store(items);
}

bool LogWriterQueue::HasBacklog(LogSpinLock&) const noexcept
{
    return backlog.load() != nullptr;
}

void LogWriterQueue::Retire(HANDLE heap, WriterWorkItem* item) noexcept
{
    const uint32_t size = item->size;
    HeapFree(heap, 0, item);
    queuedBytes.fetch_sub(size);
    if (roomWanted.load())
        SetEvent(room.get());
}

void LogWriterQueue::Wake() noexcept
{
    if (state.exchange(Awake) != Sleeping)
        return;
    // The writer holds the lock from its last look at the queue until its wait
    // begins: passing through the lock puts this wake after that wait's start.
    // A writer ended inside that short stretch (threads end anywhere at process
    // exit) never releases it; the last thread left has nobody to wake.
    while (!sleepLock.TryAcquire()) {
        if (IsLastThread())
            return;
        ZwYieldExecution();
    }
    sleepLock.Release();
    WakeConditionVariable(&wake);
}

void LogWriterQueue::SleepUntilWoken() noexcept
{
    sleepLock.Acquire();
    state.store(Sleeping);
    while (state.load() == Sleeping && !Queued() && !stopRequested.load())
        sleepLock.SleepOn(&wake);
    state.store(Awake);
    sleepLock.Release();
}

void LogWriterQueue::RequestStop() noexcept
{
    stopRequested.store(true);
    Wake();
}
