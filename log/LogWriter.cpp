// The writer thread: batches reach it as APCs, queued under the buffer lock, so
// they run (and reach the file) in submission order while the submitting
// threads never wait for the disk.
#include "log/ProcessLog.h"

namespace {

struct WriterWorkItem {
    ProcessLog* log;
    uint32_t flags;
    void* data;
    uint32_t bytes;
};
static_assert(sizeof(WriterWorkItem) == 32);

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
    *item = WriterWorkItem{log, flags, data, bytes};
    if (QueueUserAPC(&WriterApc, log->writerThread, reinterpret_cast<ULONG_PTR>(item)) != 0)
        return;

    if (WaitForSingleObject(log->writerThread, 0) == WAIT_OBJECT_0) {
        // The writer is gone for good: from now on the submitting threads write.
        log->useWriterThread.store(false);
        CompleteBlock(log, flags, data, bytes);
    } else if (flags & SubmitOwned) {
        // A live writer that refuses the block: it is lost, as a failed write is.
        HeapFree(log->heap, 0, data);
    }
    HeapFree(log->heap, 0, item);
}

void NTAPI WriterApc(ULONG_PTR parameter)
{
    auto item = reinterpret_cast<WriterWorkItem*>(parameter);
    ProcessLog* log = item->log;
    CompleteBlock(log, item->flags, item->data, item->bytes);
    HeapFree(log->heap, 0, item);
}

DWORD WINAPI WriterThreadProc(LPVOID parameter)
{
    auto log = static_cast<ProcessLog*>(parameter);
    // The closer's stop request is itself an APC queued after the last batch,
    // so every batch is written before the loop ends.
    while (!log->writerStopRequested.load())
        SleepEx(INFINITE, TRUE);
    return 0;
}
