// The process log and the internal operations of the logging library.
//
// A process has at most one open log, reached through CurrentLog. A log call
// formats its line on its own stack and hands it to LogSubmit, which batches
// lines in `buffer` under the buffer lock; batches leave through DispatchBlock,
// either to the writer thread's queue or straight to the file (CompleteBlock,
// under the file lock).
//
// Lifetime: the opener fills every field before it publishes the object in
// CurrentLog; the closer clears CurrentLog, waits until LogCallersInFlight is 0,
// sends the last batch, stops the writer thread and only then frees the object.
#pragma once

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

// A spin-lock word of the log (the buffer lock and the file lock): taken by
// compare-and-exchange from 0 to a non-zero value and released by exchanging 0
// into it, only through the Acquire and Release functions below. A capability
// of its own type, so that the analysis checks what each lock guards.
struct OLV_CAPABILITY("mutex") LogLockWord : std::atomic<uint32_t> {};

// What guards what:
//   buffer lock (bufferOwner)  the batch: buffer, bufferUsed, flushDeadline
//   file lock (fileLock)       the file state: file, encrypt, keyArea, cipher;
//                              held for a whole write (size check, rotation or
//                              reopen, encryption, append) and for an open;
//                              and the writer queue's backlog (below)
// A thread that holds the buffer lock may take the file lock (a direct write),
// never the other way round; the writer thread takes only the file lock. Every
// other field is set by the opener before it publishes the log and then only
// read, except the atomic flags and the writer queue's lock-free part.
//
// Writer queue. Every owned block carries its queue item (WriterWorkItem) in
// front of its data, allocated with it (AllocateOwnedBlock), so that handing a
// block to the writer thread never allocates and cannot fail. Submitting
// threads push items onto `writerQueue` (newest first, lock-free; under the
// buffer lock, so in submission order). Whoever holds the file lock moves the
// pushed items, oldest first, behind `writerBacklog` and writes blocks from its
// head: the writer thread on each wake, any other thread before it writes a
// block of its own (CompleteBlock: a fatal line, a line that could not be
// copied). No thread keeps a taken, unwritten block outside the backlog once
// it releases the file lock, so blocks reach the file in submission order
// whichever thread writes them, a fatal line included.
//
//   item             taken by (file lock held)      becomes
//   pushed           the writer, or a thread that    the backlog's tail, oldest first
//                    writes a block itself
//   backlog: block   the same                        written, then freed
//   backlog: call    the writer thread               run once the file lock is released
//                    another thread, writer alive    left in place, in order, for the writer
//                    another thread, writer ended    freed unrun
//
// Budget: `writerQueueBytes` counts what both lists hold of the heap (items
// and their blocks). A push that would take it past `writerQueueBudget` waits
// up to `writerRoomWait` for the writer to make room (`writerRoom`), holding
// the buffer lock, so every log call waits with it. When no room comes (a
// writer held, suspended or starved; one that has ended is told apart by its
// handle and the log switches to direct writing), the pushing thread writes
// everything queued and then its own block, under the file lock: every line
// is kept, in order, and memory stays within the budget. A write stuck in the
// system holds the file lock and with it every thread that writes, as it
// always did.
//
//   writerState      set by                         meaning
//   WriterAwake      a push (exchange), the writer  it looks at the queue again before it sleeps
//   WriterSleeping   the writer, under writerLock   it waits on writerWake; the push that
//                                                   exchanges it for WriterAwake wakes it
//
// The writer stores WriterSleeping before its last look at both lists, and a
// push (or a thread that left calls in the backlog) exchanges the state after
// its change, so one of the two always sees the other: nothing is left queued
// while the writer sleeps.
constexpr uint32_t WriterAwake = 0;
constexpr uint32_t WriterSleeping = 1;
// About 60 batches: a disk's slow moment passes without a wait. A writer that
// makes no room within a second counts as stuck.
constexpr size_t WriterQueueBudget = 4u << 20;
constexpr DWORD WriterRoomWait = 1000;

// An owned block's queue item, in front of its data; a call's item alone.
struct WriterWorkItem {
    WriterWorkItem* next;  // pushed: the item pushed before; backlog: the next newer one
    void (*call)(void*);   // null for a block
    void* context;         // the call's argument
    uint32_t bytes;        // a block's length in bytes, when queued
    uint32_t size;         // the item with its block's room: what it holds of the heap
};
static_assert(sizeof(WriterWorkItem) == 32, "the data behind an item keeps the heap's 16-byte alignment");

struct ProcessLog {
    HANDLE writerThread;                   // takes queued batches; null when there is none
    HANDLE file OLV_GUARDED_BY(fileLock);  // the open log file, or null
    HANDLE heap;                           // owned blocks (batches, long lines, copies) and call items
    std::atomic<bool> useWriterThread;     // cleared once the writer thread is found ended
    bool encrypt OLV_GUARDED_BY(fileLock);  // records are encrypted before they are written
    uint32_t minLevel;                     // lines below this level are dropped
    uint8_t* buffer OLV_GUARDED_BY(bufferOwner);  // current batch: an owned block of LogBufferBytes
    int32_t bufferUsed OLV_GUARDED_BY(bufferOwner);
    uint64_t maxFileSize;                  // rotate at or above this size
    uint32_t flushDeadline OLV_GUARDED_BY(bufferOwner);  // tick count from which a submission sends the batch
    LogLockWord bufferOwner;               // buffer lock: owner thread id, 0 when free
    wchar_t path[LogPathUnits];            // the live file, in the native object namespace
    alignas(16) uint8_t keyArea[64] OLV_GUARDED_BY(fileLock);  // stream key (32 bytes) then 32 zero bytes
    alignas(16) uint8_t cipher[LogCipherBytes] OLV_GUARDED_BY(fileLock);  // key schedule expanded from keyArea
    LogLockWord fileLock;                  // file lock: 1 while held, else 0

    // Writer queue (the tables above). Lock-free by design where no lock is
    // named: pushes, the counts and the writer's look before it sleeps.
    std::atomic<WriterWorkItem*> writerQueue;  // pushed items, newest first; null when none
    // Taken items not yet done, oldest first. Changed under the file lock; the
    // writer's look before it sleeps reads it without (OLV_TS_UNCHECKED_READ).
    std::atomic<WriterWorkItem*> writerBacklog OLV_GUARDED_BY(fileLock);
    std::atomic<size_t> writerQueueBytes;      // what both lists hold of the heap
    size_t writerQueueBudget;                  // WriterQueueBudget (a test may lower it before it logs)
    DWORD writerRoomWait;                      // WriterRoomWait, ms (likewise)
    HANDLE writerRoom;                         // auto-reset event: room made for a waiting push
    std::atomic<bool> writerRoomWanted;        // a push waits on writerRoom
    std::atomic<uint32_t> writerQueueDepth;    // about how many items were pushed since it was empty
    std::atomic<uint32_t> writerQueueSince;    // LogTickCount when the first of them was pushed
    std::atomic<uint32_t> writerState;         // WriterAwake or WriterSleeping (table above)
    SRWLOCK writerLock;                        // guards nothing: orders a wake after the writer's last look
    CONDITION_VARIABLE writerWake;             // the sleeping writer waits on it
    // Set by the closer after its last batch: the writer ends once the queue is empty.
    std::atomic<bool> writerStopRequested;
};

// The open log, or null. Read by every log call and by the flush entry.
extern std::atomic<ProcessLog*> CurrentLog;
// Log calls between their first look at CurrentLog and their return.
extern std::atomic<LONG> LogCallersInFlight;

// Tick source of the prefix and of the batch deadline. Tests replace it to move
// time without waiting; everything else leaves it at GetTickCount.
using LogTickSource = DWORD(WINAPI*)();
extern std::atomic<LogTickSource> LogTickCount;

// The buffer lock and the file lock. A waiter that finds itself the last
// thread of the process goes on without the lock: nobody is left to release
// it. (A lock's own body is outside what the analysis can describe.)
void AcquireBufferLock(ProcessLog* log) noexcept OLV_ACQUIRE(log->bufferOwner) OLV_NO_THREAD_SAFETY_ANALYSIS;
void ReleaseBufferLock(ProcessLog* log) noexcept OLV_RELEASE(log->bufferOwner) OLV_NO_THREAD_SAFETY_ANALYSIS;
void AcquireFileLock(ProcessLog* log) noexcept OLV_ACQUIRE(log->fileLock) OLV_NO_THREAD_SAFETY_ANALYSIS;
void ReleaseFileLock(ProcessLog* log) noexcept OLV_RELEASE(log->fileLock) OLV_NO_THREAD_SAFETY_ANALYSIS;

// Owned blocks: `bytes` of room behind the block's queue item, from the log's
// heap (null when it is exhausted), so that queuing the block never allocates.
// Every SubmitOwned block comes from here and goes back through FreeOwnedBlock.
void* AllocateOwnedBlock(ProcessLog* log, size_t bytes) noexcept;
void FreeOwnedBlock(ProcessLog* log, void* data) noexcept;

// Batching (caller's thread). LogSubmit and DispatchBlock take over an owned block.
void LogSubmit(ProcessLog* log, uint32_t flags, const void* data, int32_t bytes) noexcept
    OLV_EXCLUDES(log->bufferOwner);
void SendBatch(ProcessLog* log, uint32_t flags) noexcept OLV_REQUIRES(log->bufferOwner);
void DispatchBlock(ProcessLog* log, uint32_t flags, void* data, int32_t bytes) noexcept
    OLV_REQUIRES(log->bufferOwner);
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

// Files. WriteBlock writes a block when a file is open and, for a fatal block,
// flushes the file to disk. WriteRecord never reports failure; OpenLogFile
// returns 1 (opened), 2 (created, also after moving away a file whose header is
// another key's or format's) or 5 (failed, `file` null; also when such a file
// cannot be moved).
void WriteBlock(ProcessLog* log, uint32_t flags, void* data, uint32_t bytes) noexcept OLV_REQUIRES(log->fileLock);
void WriteRecord(ProcessLog* log, void* data, uint32_t bytes) noexcept OLV_REQUIRES(log->fileLock);
void EnsureLogFile(ProcessLog* log) noexcept OLV_REQUIRES(log->fileLock);
ULONG OpenLogFile(ProcessLog* log) noexcept OLV_REQUIRES(log->fileLock);

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
// it waits for room or writes the queue itself as the budget says (above). A
// push that finds earlier items still queued for long (100 ticks) or in numbers
// (8) asks whether the thread is still there; once it has ended, the pushing
// thread writes everything queued, in order, and from then on the log is
// written directly.
void QueueToWriter(ProcessLog* log, uint32_t flags, void* data, uint32_t bytes) noexcept
    OLV_REQUIRES(log->bufferOwner);
// Runs call(context) on the writer thread once every block queued before it is
// written (tests hold, end or wait for the writer with it). False, and the call
// never runs, when there is no writer thread (or it is no longer used), no
// memory for the item, or the writer is found ended.
bool QueueWriterCall(ProcessLog* log, void (*call)(void* context), void* context) noexcept;
// Asks the writer thread to end once it has written everything queued.
void RequestWriterStop(ProcessLog* log) noexcept;
// Writes on the calling thread, in order, every block still queued: for a
// writer that has ended (queued calls are dropped), or one that does not end
// when asked (its calls are left to it).
void DrainWriterQueue(ProcessLog* log, bool writerEnded) noexcept OLV_EXCLUDES(log->fileLock);
DWORD WINAPI WriterThreadProc(LPVOID log);

// Sends out the batch of CurrentLog; nothing when no log is open.
void FlushCurrentLog() noexcept;
