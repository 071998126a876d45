// The writer thread's queue: submitting threads hand it owned blocks (and, in
// tests, calls to run on the writer thread) without waiting for the disk; the
// writer thread, or any thread that holds the log's file lock, takes them
// oldest first and writes them. The queue keeps within a budget of heap bytes,
// wakes the writer when it sleeps, and notices when the writer has ended.
//
// Threads. Pushers: any thread holding the log's buffer lock, so there is one
// at a time and items are pushed in submission order. Takers: whoever holds
// the file lock (Take and Keep name it, so the analysis checks that the
// caller holds it): the writer thread on each wake, and any thread that
// writes a block itself first writes what is queued, so that blocks reach the
// file in submission order whichever thread writes them. No thread keeps a
// taken, unwritten block outside the backlog once it releases the file lock.
//
// Lists. Every owned block carries its item (WriterWorkItem) in front of its
// data, allocated with it, so pushing never allocates and cannot fail.
//   pushed    lock-free stack, newest first: Push adds, Take empties it
//   backlog   taken and not yet done, oldest first: only the file-lock holder
//             changes it; the writer's look before it sleeps reads it without
//
//   item            taken by (file lock held)      becomes
//   pushed          the writer, or a thread that    the backlog's tail, oldest first
//                   writes a block itself
//   backlog: block  the same                        written, then retired
//   backlog: call   the writer thread               run once the file lock is released
//                   another thread, writer alive    kept in place, in order, for the writer
//                   another thread, writer ended    retired unrun
//
// Budget. queuedBytes counts what both lists hold of the heap (items with
// their blocks), from before a push until the item is retired. A push that
// would take it past `budget` first waits up to `roomWait` for the writer to
// make room (MakeRoom; the writer signals `room` after each item it retires
// while a push waits, and the thread's handle tells an ended writer apart).
// When no room comes, the pusher writes everything queued and then its own
// block, under the file lock: every line is kept, in order, and memory stays
// within the budget.
//
// Wake. The writer sleeps on a condition variable; its lock (`sleepLock`)
// guards the writer's way into that sleep, not data:
//
//   state      set by                         meaning
//   Awake      a push (exchange), the writer  it looks at both lists again before it sleeps
//   Sleeping   the writer, under sleepLock    it waits on `wake`; the push that exchanges
//                                             it for Awake passes through sleepLock (so
//                                             the wake comes after the wait has begun)
//                                             and wakes it
//
// The writer stores Sleeping before its last look at both lists, and a push
// exchanges the state after its change, so one of the two always sees the
// other: nothing is left queued while the writer sleeps.
//
// End. The closer asks the writer to stop (RequestStop) after its last batch.
// A writer thread that ends otherwise while code still runs in it (ExitThread
// from a queued call, for one) sets `writerEnded` on its way out, through a
// fiber-local slot's callback, which the system calls at every thread exit
// that runs the thread's exit code: the next push sees the flag, at the cost
// of reading it. A thread that is terminated runs nothing (TerminateThread,
// the end of the process): a push that finds earlier items still queued for
// long (WriterLagTicks) or in numbers (WriterLagItems) then asks the thread's
// handle, a kernel call. Either way the pusher writes what is queued.
#pragma once

#include "log/LogSpinLock.h"
#include "base/ThreadSafety.h"
#include "base/UniqueHandle.h"

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

// An owned block's item, in front of its data; a call's item alone.
struct WriterWorkItem {
    WriterWorkItem* next;  // pushed: the item pushed before; backlog: the next newer one
    void (*call)(void*);   // null for a block
    void* context;         // the call's argument
    uint32_t bytes;        // a block's length in bytes, when queued
    uint32_t size;         // the item with its block's room: what it holds of the heap
};
static_assert(sizeof(WriterWorkItem) == 32, "the data behind an item keeps the heap's 16-byte alignment");

// About 60 batches: a disk's slow moment passes without a wait. A writer that
// makes no room within a second counts as stuck.
constexpr size_t WriterQueueBudget = 4u << 20;
constexpr DWORD WriterRoomWait = 1000;

// When items wait this long (ticks of LogTickCount) or this many, a push asks
// whether the writer thread is still there. A writer that is merely late (a
// busy machine) is not asked on every push: the question costs a kernel call.
constexpr uint32_t WriterLagTicks = 100;
constexpr uint32_t WriterLagItems = 8;

// A lock the analysis knows, around the condition variable's SRW lock.
class OLV_CAPABILITY("mutex") WriterSleepLock {
public:
    void Acquire() noexcept OLV_ACQUIRE() OLV_NO_THREAD_SAFETY_ANALYSIS { AcquireSRWLockExclusive(&lock); }
    bool TryAcquire() noexcept OLV_TRY_ACQUIRE(true) OLV_NO_THREAD_SAFETY_ANALYSIS
    {
        return TryAcquireSRWLockExclusive(&lock) != FALSE;
    }
    void Release() noexcept OLV_RELEASE() OLV_NO_THREAD_SAFETY_ANALYSIS { ReleaseSRWLockExclusive(&lock); }
    // Sleeps on `wake` with the lock released meanwhile; held again on return.
    void SleepOn(CONDITION_VARIABLE* wake) noexcept OLV_REQUIRES(this)
    {
        SleepConditionVariableSRW(wake, &lock, INFINITE, 0);
    }

private:
    SRWLOCK lock = SRWLOCK_INIT;
};

class LogWriterQueue {
public:
    LogWriterQueue() noexcept = default;
    ~LogWriterQueue();
    LogWriterQueue(const LogWriterQueue&) = delete;
    LogWriterQueue& operator=(const LogWriterQueue&) = delete;

    // Budget and room wait; a test may lower them before it logs.
    size_t budget = WriterQueueBudget;
    DWORD roomWait = WriterRoomWait;

    // Opener: makes the room event and the slot through which the writer's
    // exit is told. False when the event cannot be made (without the slot,
    // only the lag check notices an ended writer).
    bool Prepare() noexcept;
    // Writer thread, before anything else: its exit will set `writerEnded`.
    void EnterWriter() noexcept;
    // Opener: the writer thread, started on a log whose queue is prepared,
    // owned from now on. Closer: Thread() to wait for it, ForgetThread() once
    // it has ended, before its queue is drained for the last time.
    void AttachThread(HANDLE thread) noexcept { writerThread.reset(thread); }
    HANDLE Thread() const noexcept { return writerThread.get(); }
    bool HasThread() const noexcept { return writerThread.valid(); }
    void ForgetThread() noexcept { writerThread.reset(); }

    // Pusher (one at a time). Whether `size` more bytes fit now.
    bool Fits(size_t size) const noexcept;
    enum class Room { Made, WriterStuck, WriterEnded };
    // Waits until `size` more bytes fit in the budget (or nothing is queued),
    // at most roomWait.
    Room MakeRoom(size_t size) noexcept;
    // Queues an item and wakes the writer. False when the writer was found
    // ended: the item stays queued, and the caller writes the queue itself.
    bool Push(WriterWorkItem* item) noexcept;

    // Whether anything is queued. Without the file lock: the writer's last
    // look before it sleeps (made safe by the wake protocol above), and cheap
    // tests before taking the lock.
    bool Queued() const noexcept;
    size_t QueuedBytes() const noexcept { return queuedBytes.load(); }

    // File-lock holder. The backlog with, behind it, what was pushed since
    // (all of it, oldest first), or the backlog alone when `pushedToo` is
    // false and the backlog is not empty. The caller owns the list until it
    // gives back, with Keep, what it leaves undone.
    WriterWorkItem* Take(LogSpinLock& fileLock, bool pushedToo) noexcept OLV_REQUIRES(fileLock);
    void Keep(LogSpinLock& fileLock, WriterWorkItem* items) noexcept OLV_REQUIRES(fileLock);
    bool HasBacklog(LogSpinLock& fileLock) const noexcept OLV_REQUIRES(fileLock);
    // An item is done: its memory goes back to `heap` and leaves the budget,
    // and a push that waits for room is told.
    void Retire(HANDLE heap, WriterWorkItem* item) noexcept;

    // Wakes the writer if it sleeps.
    void Wake() noexcept;
    // Writer: sleeps until a push, a wake or a stop request.
    void SleepUntilWoken() noexcept;
    void RequestStop() noexcept;
    bool StopRequested() const noexcept { return stopRequested.load(); }

private:
    static constexpr uint32_t Awake = 0;
    static constexpr uint32_t Sleeping = 1;

    // Whether a push, after which the stack holds one more item (on an
    // empty one when `first`), finds the writer lagging.
    bool Lags(bool first) noexcept;
    // Whether the writer thread has ended: its exit said so, or (asked only
    // when `ask`) its handle does.
    bool WriterGone(bool ask) const noexcept;
    // The slot's callback, at the writer's exit (and at FlsFree).
    static void WINAPI NoteWriterEnded(void* queue) noexcept;

    std::atomic<WriterWorkItem*> pushed{nullptr};   // newest first; null when none
    std::atomic<WriterWorkItem*> backlog{nullptr};  // oldest first; see Take and Keep
    std::atomic<size_t> queuedBytes{0};             // what both lists hold of the heap
    UniqueEvent room;                               // auto-reset: room made for a waiting push
    std::atomic<bool> roomWanted{false};            // a push waits on `room`
    std::atomic<uint32_t> depth{0};                 // about how many items were pushed since it was empty
    std::atomic<uint32_t> since{0};                 // LogTickCount when the first of them was pushed
    std::atomic<uint32_t> state{Awake};             // Awake or Sleeping (the table above)
    WriterSleepLock sleepLock;
    CONDITION_VARIABLE wake = CONDITION_VARIABLE_INIT;
    // Set by the closer after its last batch: the writer ends once the queue is empty.
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> writerEnded{false};       // set by the writer thread's exit
    DWORD exitSlot = FLS_OUT_OF_INDEXES;        // fiber-local slot whose callback sets it
    UniqueHandle<HANDLE, ::CloseHandle> writerThread;
};
