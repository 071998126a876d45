#include "rux/client/ConnectionWatch.h"

#include <algorithm>
#include <system_error>

namespace rux {

Mutex ConnectionWatch::mutex_;

ConnectionWatch& ConnectionWatch::Get()
{
    static ConnectionWatch* const watch = new ConnectionWatch();
    return *watch;
}

// Without a wake event the thread never starts: connections then work
// unwatched, and learn of a sink's end at their next use.
ConnectionWatch::ConnectionWatch() : wake_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

std::shared_ptr<ConnectionWatch::Slot> ConnectionWatch::Add(UniquePipe& pipe)
{
    auto slot = std::make_shared<Slot>();
    bool wake = false;
    {
        MutexHolder hold(mutex_);
        slots_.reserve(slots_.size() + 1);
        if (!thread_.joinable() && wake_.valid()) {
            try {
                thread_ = std::thread(&ConnectionWatch::Run, this, generation_);
            } catch (const std::system_error&) {
                // No thread: this connection is not watched; the next Add
                // tries again.
            }
        }
        // Nothing below can fail: the pipe is the slot's from here on.
        slot->pipe = std::move(pipe);
        slot->state = Slot::State::Idle;
        slot->idleSince = GetTickCount64();
        slots_.push_back(slot);
        wake = wakeAt_ > slot->idleSince + ArmAfterMs;
        if (wake)
            wakeAt_ = slot->idleSince + ArmAfterMs;
    }
    if (wake)
        SetEvent(wake_.get());
    return slot;
}

HANDLE ConnectionWatch::Hold(Slot& slot)
{
    HANDLE pipe;
    {
        MutexHolder hold(mutex_);
        if (slot.state == Slot::State::Closed)
            return INVALID_HANDLE_VALUE;
        bool armed = slot.state == Slot::State::Armed;
        slot.state = Slot::State::Held;
        pipe = slot.pipe.get();
        if (!armed)
            return pipe;
    }
    // Held now: the thread no longer touches the read, which is cancelled and
    // waited for here, unlocked (its end may need the thread that started it).
    CancelIoEx(pipe, &slot.overlapped);
    DWORD bytes = 0;
    if (!GetOverlappedResult(pipe, &slot.overlapped, &bytes, TRUE) && GetLastError() == ERROR_OPERATION_ABORTED)
        return pipe;
    // It ended before the cancel: the sink said something unasked (its Going)
    // or closed its end.
    MutexHolder hold(mutex_);
    slot.pipe.reset();
    slot.state = Slot::State::Closed;
    return INVALID_HANDLE_VALUE;
}

void ConnectionWatch::Release(Slot& slot)
{
    bool wake = false;
    {
        MutexHolder hold(mutex_);
        if (slot.state != Slot::State::Held)
            return;
        slot.state = Slot::State::Idle;
        slot.idleSince = GetTickCount64();
        wake = wakeAt_ > slot.idleSince + ArmAfterMs;
        // A thread that sleeps until later is woken to look at this slot in
        // time; one that wakes earlier finds it then (busy connections make
        // no wake-ups).
        if (wake)
            wakeAt_ = slot.idleSince + ArmAfterMs;
    }
    if (wake)
        SetEvent(wake_.get());
}

UniquePipe ConnectionWatch::Remove(Slot& slot)
{
    Hold(slot);
    MutexHolder hold(mutex_);
    auto found = std::find_if(slots_.begin(), slots_.end(),
                              [&](const std::shared_ptr<Slot>& listed) { return listed.get() == &slot; });
    if (found != slots_.end())
        slots_.erase(found);
    slot.state = Slot::State::Closed;
    return std::move(slot.pipe);
}

void ConnectionWatch::Stop()
{
    std::thread thread;
    {
        MutexHolder hold(mutex_);
        if (!thread_.joinable())
            return;
        ++generation_;
        thread = std::move(thread_);
    }
    SetEvent(wake_.get());
    thread.join();
}

void ConnectionWatch::ArmLocked(Slot& slot)
{
    // Made for the first read only: a connection closed before it was ever
    // idle long enough (the plug-in's one per push) never needs one.
    if (!slot.readEvent.valid()) {
        slot.readEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!slot.readEvent.valid())
            return;  // left idle, unwatched; tried again at the next pass
    }
    slot.overlapped = {};
    slot.overlapped.hEvent = slot.readEvent.get();
    if (!ReadFile(slot.pipe.get(), slot.buffer, sizeof slot.buffer, nullptr, &slot.overlapped) &&
        GetLastError() == ERROR_IO_PENDING) {
        slot.state = Slot::State::Armed;
        return;
    }
    // Ended at once: something was there already, or the sink's end is gone.
    // (Taken off the list by the thread's next pass.)
    CloseLocked(slot);
}

void ConnectionWatch::CloseLocked(Slot& slot)
{
    slot.pipe.reset();
    slot.state = Slot::State::Closed;
}

void ConnectionWatch::Run(uint64_t generation) noexcept
{
    // The slots waited on are kept (with their events) until the wait is over.
    std::vector<std::shared_ptr<Slot>> watched;
    watched.reserve(MaxWatched);
    for (;;) {
        HANDLE waits[MAXIMUM_WAIT_OBJECTS];
        DWORD count = 0;
        DWORD timeout = INFINITE;
        {
            MutexHolder hold(mutex_);
            if (generation_ != generation) {
                // What is still armed (a connection opened during the last
                // RuxExit) is cancelled by the thread that started it, before
                // it ends: a read that outlived its thread might never end.
                for (const auto& slot : slots_) {
                    if (slot->state != Slot::State::Armed)
                        continue;
                    DWORD bytes = 0;
                    CancelIoEx(slot->pipe.get(), &slot->overlapped);
                    if (!GetOverlappedResult(slot->pipe.get(), &slot->overlapped, &bytes, TRUE) &&
                        GetLastError() == ERROR_OPERATION_ABORTED)
                        slot->state = Slot::State::Idle;
                    else
                        CloseLocked(*slot);
                }
                return;
            }
            ULONGLONG now = GetTickCount64();
            ULONGLONG next = ~0ull;
            size_t armed = 0;
            for (const auto& slot : slots_)
                armed += slot->state == Slot::State::Armed;
            for (const auto& slot : slots_) {
                if (slot->state != Slot::State::Idle)
                    continue;
                if (now - slot->idleSince < ArmAfterMs) {
                    next = std::min(next, slot->idleSince + ArmAfterMs);
                } else if (armed < MaxWatched) {
                    ArmLocked(*slot);
                    armed += slot->state == Slot::State::Armed;
                }
            }
            // Closed slots leave the list (in place: nothing allocated).
            size_t kept = 0;
            for (size_t i = 0; i < slots_.size(); ++i) {
                if (slots_[i]->state != Slot::State::Closed)
                    std::swap(slots_[kept++], slots_[i]);
            }
            slots_.resize(kept);
            waits[count++] = wake_.get();
            for (const auto& slot : slots_) {
                if (slot->state == Slot::State::Armed && watched.size() < MaxWatched) {
                    waits[count++] = slot->readEvent.get();
                    watched.push_back(slot);
                }
            }
            wakeAt_ = next;
            if (next != ~0ull)
                timeout = static_cast<DWORD>(next - now);
        }
        DWORD wait = WaitForMultipleObjects(count, waits, FALSE, timeout);
        if (wait > WAIT_OBJECT_0 && wait < WAIT_OBJECT_0 + count) {
            MutexHolder hold(mutex_);
            // Not armed any more: a holder took it meanwhile and deals with
            // the read itself.
            Slot& slot = *watched[wait - WAIT_OBJECT_0 - 1];
            if (slot.state == Slot::State::Armed)
                CloseLocked(slot);
        }
        // Released unlocked: a slot whose connection is gone closes here.
        watched.clear();
        if (wait == WAIT_FAILED)
            Sleep(ArmAfterMs);  // not expected; never spin on it
    }
}

}  // namespace rux
