// Closes the client ends of our connections whose sink went, or said it is
// going (Frame.h), while their owners leave them idle. On Windows a pipe's
// name lives on while any client end of it is open, and a sink cannot start
// again under it: a user interface that keeps an idle connection would keep
// the sink of a restarted host from coming back.
//
// One thread of the library, started with the first connection and joined by
// the last RuxExit, keeps an overlapped read pending on each connection idle
// for ArmAfterMs or more (so a connection in use pays nothing for it). Nothing
// comes on an idle connection but a sink's Going, and the read also ends when
// the sink closes its end: either way the thread closes the client end at
// once. It waits on at most MaxWatched connections; others wait for a place,
// and otherwise learn of the sink's end at their next use.
//
// A watched connection's pipe belongs to its Slot. The connection takes it for
// each exchange (Hold), which cancels the pending read and waits for it, and
// gives it back afterwards (Release); the thread leaves a held pipe alone.
//
// A slot's states, under the watch's mutex:
//   Idle    nobody uses the pipe and no read is pending, since `idleSince`
//   Armed   the thread's read is pending
//   Held    the connection uses the pipe
//   Closed  the pipe is closed (the sink went, or the slot was removed); final
//   Idle --ArmAfterMs, thread--> Armed --read ends, thread--> Closed
//   Idle or Armed --Hold--> Held --Release--> Idle; Hold --the read had ended--> Closed
//
// The watch's mutex is a leaf: taken under Connection::mutex_, never the
// other way round. No thread waits for another process while it holds it:
// reads are started and looked at under it, and only the thread, as it ends,
// waits there for the cancel of its own reads. The thread never calls the
// trace callback.
#pragma once

#include "base/Mutex.h"
#include "base/UniqueHandle.h"
#include "rux/wire/Frame.h"

#include <windows.h>

#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

namespace rux {

class ConnectionWatch {
public:
    static constexpr DWORD ArmAfterMs = 50;
    static constexpr size_t MaxWatched = MAXIMUM_WAIT_OBJECTS - 1;

    class Slot {
    public:
        Slot() = default;
        Slot(const Slot&) = delete;
        Slot& operator=(const Slot&) = delete;

    private:
        friend class ConnectionWatch;
        enum class State { Idle, Armed, Held, Closed };

        UniquePipe pipe OLV_GUARDED_BY(ConnectionWatch::mutex_);
        State state OLV_GUARDED_BY(ConnectionWatch::mutex_) = State::Idle;
        ULONGLONG idleSince OLV_GUARDED_BY(ConnectionWatch::mutex_) = 0;
        // The read's: the thread's while Armed, the holder's while it cancels
        // it in Hold. Its event, made by the thread for the first read, is set
        // by the read's end and lives with the slot, which the thread keeps
        // while it waits on it.
        UniqueEvent readEvent;
        OVERLAPPED overlapped = {};
        unsigned char buffer[AckFrameBytes] = {};
    };

    // Lives as long as the process, as the library does.
    static ConnectionWatch& Get();

    // Watches `pipe` (a connected client end), idle from now; `pipe` is
    // moved into the slot. Throws std::bad_alloc (with `pipe` untouched).
    std::shared_ptr<Slot> Add(UniquePipe& pipe) OLV_EXCLUDES(mutex_);
    // The pipe, for the caller to use until Release; INVALID_HANDLE_VALUE when
    // the sink went or said it is going (the pipe is then closed).
    HANDLE Hold(Slot& slot) OLV_EXCLUDES(mutex_);
    void Release(Slot& slot) OLV_EXCLUDES(mutex_);
    // Ends the watch of `slot` and hands its pipe back: invalid when the sink
    // went or said it is going.
    UniquePipe Remove(Slot& slot) OLV_EXCLUDES(mutex_);
    // Joins the thread (the last RuxExit); a later Add starts another.
    void Stop() OLV_EXCLUDES(mutex_);

private:
    ConnectionWatch();
    void Run(uint64_t generation) noexcept OLV_EXCLUDES(mutex_);
    // Starts the thread's read on an idle slot, or closes it when the read
    // ends at once.
    void ArmLocked(Slot& slot) OLV_REQUIRES(mutex_);
    // Closes a slot whose read ended; the thread's next pass takes it off
    // the list.
    void CloseLocked(Slot& slot) OLV_REQUIRES(mutex_);

    static Mutex mutex_;  // guards the slots' fields and everything below
    UniqueEvent wake_;    // the thread looks at the slots again
    std::vector<std::shared_ptr<Slot>> slots_ OLV_GUARDED_BY(mutex_);  // the slots not Closed
    std::thread thread_ OLV_GUARDED_BY(mutex_);
    uint64_t generation_ OLV_GUARDED_BY(mutex_) = 0;  // the running thread's; Stop moves it on
    ULONGLONG wakeAt_ OLV_GUARDED_BY(mutex_) = ~0ull;  // when the thread looks again by itself
};

}  // namespace rux
