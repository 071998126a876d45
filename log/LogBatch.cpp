// The batch of the process log: the buffer lock, owned blocks, LogSubmit,
// SendBatch and DispatchBlock. Only the batch buffer is guarded by the lock;
// file writes take the file lock (CompleteBlock, or the writer thread's pass),
// whether they happen under it or on the writer thread.
#include "log/ProcessLog.h"

#include <cstring>

void* AllocateOwnedBlock(ProcessLog* log, size_t bytes) noexcept
{
    if (bytes > UINT32_MAX - sizeof(WriterWorkItem))
        return nullptr;
    auto item = static_cast<WriterWorkItem*>(HeapAlloc(log->heap, 0, sizeof(WriterWorkItem) + bytes));
    if (item == nullptr)
        return nullptr;
    item->size = static_cast<uint32_t>(sizeof(WriterWorkItem) + bytes);
    return item + 1;
}

void FreeOwnedBlock(ProcessLog* log, void* data) noexcept
{
    HeapFree(log->heap, 0, static_cast<WriterWorkItem*>(data) - 1);
}

namespace {

// Installs a fresh batch buffer. Null when the heap is exhausted: LogSubmit then
// dispatches lines one by one instead of batching them (DispatchAlone).
void InstallBuffer(ProcessLog* log) OLV_REQUIRES(log->bufferLock)
{
    log->buffer = static_cast<uint8_t*>(AllocateOwnedBlock(log, LogBufferBytes));
    log->bufferUsed = 0;
    log->flushDeadline = LogTickCount.load()() + LogFlushInterval;
}

// A block that is not batched. With a writer thread, every line but a fatal
// one reaches the file through it: a block on the caller's stack goes as an
// owned copy. Only when that copy cannot be had either does the caller write
// it itself, after everything queued (CompleteBlock), so lines keep their order.
void DispatchAlone(ProcessLog* log, uint32_t flags, const void* data, int32_t bytes) OLV_REQUIRES(log->bufferLock)
{
    if (log->useWriterThread.load() && (flags & (SubmitFatal | SubmitOwned)) == 0) {
        if (void* copy = AllocateOwnedBlock(log, static_cast<size_t>(bytes))) {
            std::memcpy(copy, data, static_cast<size_t>(bytes));
            DispatchBlock(log, flags | SubmitOwned, copy, bytes);
            return;
        }
    }
    DispatchBlock(log, flags, const_cast<void*>(data), bytes);
}

}  // namespace

void SendBatch(ProcessLog* log, uint32_t flags) noexcept
{
    if (log->bufferUsed == 0)
        return;
    DispatchBlock(log, flags | SubmitOwned, log->buffer, log->bufferUsed);
    InstallBuffer(log);
}

void LogSubmit(ProcessLog* log, uint32_t flags, const void* data, int32_t bytes) noexcept
{
    const uint32_t now = LogTickCount.load()();
    log->bufferLock.Acquire();

    if (log->bufferUsed > 0 &&
        (log->bufferUsed + bytes >= LogBufferBytes || bytes >= LogSendThreshold || (flags & SubmitFatal) != 0 ||
         now >= log->flushDeadline))
        SendBatch(log, (flags & ~SubmitFatal) | SubmitOwned);

    if (log->buffer == nullptr && log->bufferUsed == 0)
        InstallBuffer(log);

    if (bytes < LogSendThreshold && (flags & SubmitFatal) == 0 && log->buffer != nullptr) {
        std::memcpy(log->buffer + log->bufferUsed, data, static_cast<size_t>(bytes));
        log->bufferUsed += bytes;
        if (flags & SubmitOwned)
            FreeOwnedBlock(log, const_cast<void*>(data));
        if (log->bufferUsed >= LogSendThreshold)
            SendBatch(log, flags | SubmitOwned);
    } else {
        DispatchAlone(log, flags, data, bytes);
    }

    log->bufferLock.Release();
}

void DispatchBlock(ProcessLog* log, uint32_t flags, void* data, int32_t bytes) noexcept
{
    if (log->useWriterThread.load() && (flags & SubmitFatal) == 0 && (flags & SubmitOwned) != 0) {
        QueueToWriter(log, flags, data, static_cast<uint32_t>(bytes));
        return;
    }
    CompleteBlock(log, flags, data, static_cast<uint32_t>(bytes));
}
