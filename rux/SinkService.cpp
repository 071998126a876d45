#include "rux/SinkService.h"

#include "rux/Trace.h"

namespace rux {

SinkService::SinkService(std::string sinkName, std::string name, uint32_t id, HANDLE event)
    : sinkName_(std::move(sinkName)), name_(std::move(name)), id_(id), event_(event)
{
}

SinkService::~SinkService()
{
    Stop();
}

bool SinkService::Enqueue(int32_t kind, ItemPtr item)
{
    std::unique_lock<std::mutex> hold(mutex_);
    if (stopped_)
        return false;
    if (queue_.size() >= MaxQueuedMessages) {
        // The trace callback never runs under one of our locks.
        hold.unlock();
        Trace::Line("Rux: sink '%s' service '%s': queue full, message dropped", sinkName_.c_str(), name_.c_str());
        return false;
    }
    queue_.push_back(QueuedMessage{kind, std::move(item)});
    // One signal per pop is enough: an application that has not popped since
    // the last one is still to wake up (or is draining), and an auto-reset
    // event does not count signals anyway.
    if (signalPending_)
        return true;
    signalPending_ = true;
    // Set after the queue lock is released, so that the woken application
    // pops at once instead of waiting for this thread to leave the lock;
    // the message is already queued. Stop closes the event under the event
    // lock, so it is never set after it was closed.
    hold.unlock();
    std::lock_guard<std::mutex> event(eventMutex_);
    if (event_)
        SetEvent(event_);
    return true;
}

bool SinkService::TakeNext(QueuedMessage& message)
{
    std::lock_guard<std::mutex> hold(mutex_);
    signalPending_ = false;
    if (queue_.empty())
        return false;
    message = std::move(queue_.front());
    queue_.pop_front();
    return true;
}

void SinkService::Stop()
{
    std::deque<QueuedMessage> dropped;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (stopped_)
            return;
        stopped_ = true;
        dropped.swap(queue_);
    }
    std::lock_guard<std::mutex> event(eventMutex_);
    if (event_)
        CloseHandle(event_);
    event_ = nullptr;
}

}  // namespace rux
