// The process log and the internal operations of the logging library.
//
// A process has at most one open log, reached through CurrentLog. A log call
// formats its line on its own stack and hands it to LogSubmit, which batches
// lines in `buffer` under the buffer lock; batches leave through DispatchBlock,
// either to the writer thread's queue (LogWriterQueue.h) or straight to the
// file (CompleteBlock, under the file lock).
//
// Locks, in the order a thread takes them (the analysis checks the order of
// the two spin locks):
//   the opener's and closer's mutex (ProcessLogControl.cpp)
//   a flush participant's mutex (FlushThread.cpp: participants log)
//   bufferLock   the batch: buffer, bufferUsed, flushDeadline
//   fileLock     the file state: file, encrypt, keyArea, cipher; held for a
//                whole write (size check, rotation or reopen, encryption,
//                append) and for an open; and the writer queue's backlog
//   the named mutex of opening and rotation (LogFileMutex, across processes)
// A thread that holds the buffer lock may take the file lock (a direct write),
// never the other way round; the writer thread takes only the file lock.
//
// Lifetime: the opener fills every field before it publishes the object in
// CurrentLog; the closer clears CurrentLog, waits until LogCallersInFlight is 0,
// sends the last batch, stops the writer thread and only then frees the object.
#pragma once

#include "log/LogFileRetry.h"
#include "log/LogSpinLock.h"
#include "log/LogWriterQueue.h"
#include "log/UniqueNtHandle.h"
#include "base/ThreadSafety.h"

#include <windows.h>

#include <atomic>
#include <cstdint>

// Submission flags of a block of line data.
constexpr uint32_t SubmitFatal = 0x1;  // write on the calling thread, flush to disk, then trap
constexpr uint32_t SubmitOwned = 0x2;  // from AllocateOwnedBlock; the consumer frees it

// Batch buffer size, and the size from which a batch (or a block) goes out.
constexpr int32_t LogBufferBytes = 0x11000;   // 69,632
constexpr int32_t LogSendThreshold = 0x10000;  // 65,536
// A batch that gets no further lines leaves at the first submission this long
// after the previous send.
constexpr uint32_t LogFlushInterval = 5120;

// Room of `path` in units, terminator included, and the limit of a path built
// from it at rotation (the live path plus ".old" must fit in it).
constexpr size_t LogPathUnits = 388;
constexpr size_t LogRotatedPathUnits = 380;

// Size of `cipher`: the AES-256 encryption key schedule (15 round keys of 16 bytes).
constexpr size_t LogCipherBytes = 240;

struct ProcessLog {
    // Set by the opener before it publishes the log, then only read.
    HANDLE heap = nullptr;          // owned blocks and call items; not owned (the process heap)
    uint32_t minLevel = 0;          // lines below this level are dropped
    uint64_t maxFileSize = 0;       // rotate at or above this size
    wchar_t path[LogPathUnits] = {};  // the live file, in the native object namespace

    // The batch.
    LogSpinLock bufferLock;
    uint8_t* buffer OLV_GUARDED_BY(bufferLock) = nullptr;  // an owned block of LogBufferBytes
    int32_t bufferUsed OLV_GUARDED_BY(bufferLock) = 0;
    uint32_t flushDeadline OLV_GUARDED_BY(bufferLock) = 0;  // tick count from which a submission sends the batch

    // The file (LogFile.cpp).
    LogSpinLock fileLock OLV_ACQUIRED_AFTER(bufferLock);
    UniqueNtHandle file OLV_GUARDED_BY(fileLock);  // the open log file, or none
    bool encrypt OLV_GUARDED_BY(fileLock) = false;  // records are encrypted before they are written
    alignas(16) uint8_t keyArea[64] OLV_GUARDED_BY(fileLock) = {};  // stream key (32 bytes) then 32 zero bytes
    alignas(16) uint8_t cipher[LogCipherBytes] OLV_GUARDED_BY(fileLock) = {};  // schedule expanded from keyArea
    LogFileRetry retry OLV_GUARDED_BY(fileLock);  // after a failed open or rotation

    // The writer thread (LogWriter.cpp) and its queue. useWriterThread is
    // cleared once the writer is found ended; from then on the submitting
    // threads write.
    std::atomic<bool> useWriterThread{false};
    LogWriterQueue writer;
};

// The open log, or null. Read by every log call and by the flush entry.
extern std::atomic<ProcessLog*> CurrentLog;
// Log calls between their first look at CurrentLog and their return.
extern std::atomic<LONG> LogCallersInFlight;

// Tick source of the prefix, the batch deadline and the writer's lag check.
// Tests replace it to move time without waiting; everything else leaves it at
// GetTickCount.
using LogTickSource = DWORD(WINAPI*)();
extern std::atomic<LogTickSource> LogTickCount;

// Owned blocks: `bytes` of room behind the block's queue item, from the log's
// heap (null when it is exhausted), so that queuing the block never allocates.
// Every SubmitOwned block comes from here and goes back through FreeOwnedBlock.
void* AllocateOwnedBlock(ProcessLog* log, size_t bytes) noexcept;
void FreeOwnedBlock(ProcessLog* log, void* data) noexcept;

// Batching (caller's thread). LogSubmit and DispatchBlock take over an owned block.
void LogSubmit(ProcessLog* log, uint32_t flags, const void* data, int32_t bytes) noexcept
    OLV_EXCLUDES(log->bufferLock);
void SendBatch(ProcessLog* log, uint32_t flags) noexcept OLV_REQUIRES(log->bufferLock);
void DispatchBlock(ProcessLog* log, uint32_t flags, void* data, int32_t bytes) noexcept
    OLV_REQUIRES(log->bufferLock);
// The one way a block is written by the thread that holds it (the caller
// without a writer thread, a fatal line, a block that could not be copied or
// queued, the fallback once the writer has gone): under the file lock, first
// everything still queued for the writer thread, in order, then the block;
// flushed to disk when fatal; then, with the lock released, a trap when fatal
// and the block freed when owned.
void CompleteBlock(ProcessLog* log, uint32_t flags, void* data, uint32_t bytes) noexcept
    OLV_EXCLUDES(log->fileLock);

// Writes `value` in lowercase hexadecimal without leading zeros, as "%x" does
// (1 to 8 units, no terminator); returns the number of units.
inline size_t AppendHex(wchar_t* out, uint32_t value) noexcept
{
    size_t digits = 1;
    for (uint32_t rest = value >> 4; rest != 0; rest >>= 4)
        ++digits;
    for (size_t i = digits; i > 0; --i) {
        out[i - 1] = L"0123456789abcdef"[value & 0xF];
        value >>= 4;
    }
    return digits;
}

// Writes a line's prefix "[%x:%x:%x:%x] " of `tick`, this process's and this
// thread's ids and `level`: the formatter's text without a formatter call,
// which would cost as much as a short message. At most 38 units, no
// terminator; returns how many.
inline size_t WriteLinePrefix(wchar_t* line, uint32_t tick, unsigned level) noexcept
{
    size_t units = 0;
    line[units++] = L'[';
    units += AppendHex(line + units, tick);
    line[units++] = L':';
    units += AppendHex(line + units, static_cast<uint32_t>(GetCurrentProcessId()));
    line[units++] = L':';
    units += AppendHex(line + units, static_cast<uint32_t>(GetCurrentThreadId()));
    line[units++] = L':';
    units += AppendHex(line + units, level);
    line[units++] = L']';
    line[units++] = L' ';
    return units;
}

// What OpenLogFile did.
enum class LogFileOpen {
    Opened,   // a file that already had content, appended to as it is
    Created,  // a new (or empty) file with this process's header; also after
              // moving away a file whose header is another key's or format's
    Failed,   // no file: `file` is empty (also when such a file cannot be moved)
};

// Why OpenLogFile failed.
struct LogFileFault {
    LogFileTrouble trouble = LogFileTrouble::None;
    NTSTATUS status = 0;
};

// Files. WriteBlock writes a block (WriteRecord) and, for a fatal block,
// flushes the file to disk. WriteRecord never reports failure: a record that
// EnsureLogFile holds back is counted as not written (LogFileRetry.h).
// EnsureLogFile reopens a file that is gone and rotates one that is full, or
// waits after a failure; it returns whether a record of `bytes` may be
// written now. OpenLogFile opens or creates the live file (the caller holds
// the cross-process mutex and acts as the process); on failure `fault`, when
// given, says why.
void WriteBlock(ProcessLog* log, uint32_t flags, void* data, uint32_t bytes) noexcept OLV_REQUIRES(log->fileLock);
void WriteRecord(ProcessLog* log, void* data, uint32_t bytes) noexcept OLV_REQUIRES(log->fileLock);
bool EnsureLogFile(ProcessLog* log, uint32_t bytes) noexcept OLV_REQUIRES(log->fileLock);
LogFileOpen OpenLogFile(ProcessLog* log, LogFileFault* fault = nullptr) noexcept OLV_REQUIRES(log->fileLock);

// Encryption seam. LogFlags is "OLVLOGFLAGS" as a number. SetupLogEncryption
// sets `encrypt` (and `cipher`) when records can be encrypted and returns the
// key error a new file records (0 for none). BuildEncryptedHeader gives the
// header an encrypted file of this key begins with ("OLVLOG.1", the blob
// length, the sealed key: the same bytes for the same key) and its length, or
// returns the wrap error. WriteEncryptedHeader writes it to a new file, or
// returns the wrap error without writing. EncryptRecord encrypts whole 16-byte
// blocks in place. All of them run under the file lock.
constexpr uint32_t EncryptedHeaderMaxBytes = 8 + 4 + 64;
int LogFlags() noexcept;
uint32_t SetupLogEncryption(ProcessLog* log) noexcept OLV_REQUIRES(log->fileLock);
uint32_t BuildEncryptedHeader(const ProcessLog* log, uint8_t (&header)[EncryptedHeaderMaxBytes],
                              uint32_t* bytes) noexcept OLV_REQUIRES(log->fileLock);
uint32_t WriteEncryptedHeader(ProcessLog* log) noexcept OLV_REQUIRES(log->fileLock);
void EncryptRecord(ProcessLog* log, void* data, uint32_t bytes) noexcept OLV_REQUIRES(log->fileLock);

// Writer thread. QueueToWriter takes over the owned block (buffer lock held);
// it waits for room or writes the queue itself as the budget says
// (LogWriterQueue.h). Once the writer is found ended, the pushing thread
// writes everything queued, in order, and from then on the log is written
// directly.
void QueueToWriter(ProcessLog* log, uint32_t flags, void* data, uint32_t bytes) noexcept
    OLV_REQUIRES(log->bufferLock);
// Runs call(context) on the writer thread once every block queued before it is
// written (tests hold, end or wait for the writer with it). False, and the call
// never runs, when there is no writer thread (or it is no longer used), no
// memory for the item, or the writer is found ended.
bool QueueWriterCall(ProcessLog* log, void (*call)(void* context), void* context) noexcept;
// Writes on the calling thread, in order, every block still queued: for a
// writer that has ended (queued calls are dropped), or one that does not end
// when asked (its calls are left to it).
void DrainWriterQueue(ProcessLog* log, bool writerEnded) noexcept OLV_EXCLUDES(log->fileLock);
DWORD WINAPI WriterThreadProc(LPVOID log);

// Sends out the batch of CurrentLog; nothing when no log is open.
void FlushCurrentLog() noexcept;
