// The writer thread and the writes of queued blocks (the queue itself is
// LogWriterQueue). Batches reach the thread pushed under the buffer lock, so
// they reach the file in submission order while the submitting threads never
// wait for the disk. The thread takes every block queued since its last look
// in one go; a push wakes it only when it sleeps, through a condition
// variable, which costs far less than a kernel call per batch (an APC to a
// thread costs about 200 us under Wine). CompleteBlock, the way any other
// thread writes a block, lives here too: it writes what is still queued first.
#include "log/ProcessLog.h"

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
// retired before it is returned: it runs once the file lock is released, and
// may end the thread or let its caller go on to change the heap.
WriterCall WriteQueue(ProcessLog* log, QueuedCalls calls) OLV_REQUIRES(log->fileLock)
{
    LogWriterQueue& queue = log->writer;
    WriterWorkItem* items = queue.Take(log->fileLock, calls != QueuedCalls::Run);
    WriterCall call;
    WriterWorkItem* kept = nullptr;
    WriterWorkItem** keptEnd = &kept;
    while (items != nullptr) {
        WriterWorkItem* item = items;
        items = item->next;
        if (item->call == nullptr) {
            // A queued block is owned and never fatal (DispatchBlock).
            WriteBlock(log, SubmitOwned, DataOf(item), item->bytes);
            queue.Retire(log->heap, item);
        } else if (calls == QueuedCalls::Keep) {
            *keptEnd = item;
            keptEnd = &item->next;
        } else if (calls == QueuedCalls::Drop) {
            queue.Retire(log->heap, item);
        } else {
            call = WriterCall{item->call, item->context};
            queue.Retire(log->heap, item);
            break;
        }
    }
    *keptEnd = items;
    queue.Keep(log->fileLock, kept);
    return call;
}

// The writer thread has ended (from outside: the closer alone asks it to):
// from now on the submitting threads write, and what it left is written here.
void SwitchToDirectWriting(ProcessLog* log)
{
    log->useWriterThread.store(false);
    DrainWriterQueue(log, true);
}

// Queues an item. Returns false when the writer was found ended: everything
// queued, this item included, has then been written here.
bool Push(ProcessLog* log, WriterWorkItem* item)
{
    if (log->writer.Push(item))
        return true;
    SwitchToDirectWriting(log);
    return false;
}

}  // namespace

void CompleteBlock(ProcessLog* log, uint32_t flags, void* data, uint32_t bytes) noexcept
{
    bool callsLeft = false;
    {
        LogSpinLockHolder file(log->fileLock);
        if (log->writer.Queued()) {
            WriteQueue(log, QueuedCalls::Keep);
            callsLeft = log->writer.HasBacklog(log->fileLock);
        }
        WriteBlock(log, flags, data, bytes);
    }
    if (callsLeft)
        log->writer.Wake();
    if (flags & SubmitFatal)
        __debugbreak();
    if (flags & SubmitOwned)
        FreeOwnedBlock(log, data);
}

void QueueToWriter(ProcessLog* log, uint32_t flags, void* data, uint32_t bytes) noexcept
{
    // Without a thread to take it, the block is written here rather than leaked.
    if (!log->writer.HasThread()) {
        CompleteBlock(log, flags, data, bytes);
        return;
    }
    WriterWorkItem* item = ItemOf(data);
    if (!log->writer.Fits(item->size)) {
        const LogWriterQueue::Room room = log->writer.MakeRoom(item->size);
        if (room == LogWriterQueue::Room::WriterEnded)
            SwitchToDirectWriting(log);
        if (room != LogWriterQueue::Room::Made) {
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
    if (!log->writer.HasThread() || !log->useWriterThread.load())
        return false;
    auto item = static_cast<WriterWorkItem*>(HeapAlloc(log->heap, 0, sizeof(WriterWorkItem)));
    if (item == nullptr)
        return false;
    *item = WriterWorkItem{nullptr, call, context, 0, sizeof(WriterWorkItem)};
    return Push(log, item);
}

void DrainWriterQueue(ProcessLog* log, bool writerEnded) noexcept
{
    bool callsLeft = false;
    {
        LogSpinLockHolder file(log->fileLock);
        WriteQueue(log, writerEnded ? QueuedCalls::Drop : QueuedCalls::Keep);
        callsLeft = log->writer.HasBacklog(log->fileLock);
    }
    if (callsLeft)
        log->writer.Wake();
}

DWORD WINAPI WriterThreadProc(LPVOID parameter)
{
    auto log = static_cast<ProcessLog*>(parameter);
    log->writer.EnterWriter();
    for (;;) {
        // Read before the queue is looked at: the closer asks only after its
        // last batch, so a stop seen here means that batch is in this look.
        const bool stop = log->writer.StopRequested();
        if (log->writer.Queued()) {
            WriterCall call;
            {
                LogSpinLockHolder file(log->fileLock);
                call = WriteQueue(log, QueuedCalls::Run);
            }
            if (call.run != nullptr)
                call.run(call.context);
            continue;
        }
        if (stop)
            return 0;
        log->writer.SleepUntilWoken();
    }
}
