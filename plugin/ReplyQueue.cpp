#include "plugin/ReplyQueue.h"

#include <new>
#include <utility>

ReplyQueue::Refusal ReplyQueue::Check(DWORD process, const std::string& target, size_t bytes, ULONGLONG now,
                                      ULONGLONG& number) const
{
    if (backoff_.Holds(target, now, number))
        return Refusal::BackingOff;
    auto sender = senders_.find(process);
    if (sender != senders_.end() && sender->second.pending >= MaxPerSender) {
        number = sender->second.pending;
        return Refusal::SenderFull;
    }
    if (queue_.size() >= MaxQueued) {
        number = queue_.size();
        return Refusal::QueueFull;
    }
    if (bytes_ + bytes > BudgetBytes) {
        number = bytes_;
        return Refusal::OverBudget;
    }
    return Refusal::None;
}

void ReplyQueue::Push(Entry entry)
{
    DWORD process = entry.job.sender.process;
    size_t bytes = entry.job.bytes;
    // Either may throw, and then nothing is counted.
    SenderCount& count = senders_[process];
    try {
        queue_.push_back(std::move(entry));
    } catch (...) {
        if (count.pending == 0)
            senders_.erase(process);
        throw;
    }
    ++count.pending;
    bytes_ += bytes;
}

bool ReplyQueue::Take(ULONGLONG now, Entry& taken, bool& dropped, ULONGLONG& agoMs)
{
    for (auto it = queue_.begin(); it != queue_.end(); ++it) {
        dropped = backoff_.Holds(it->target, now, agoMs);
        auto sender = senders_.find(it->job.sender.process);  // counted by Push
        if (!dropped && (targetsInFlight_.count(it->target) ||
                         (sender != senders_.end() && sender->second.inFlight >= MaxInFlightPerSender)))
            continue;
        // The target first: the insertion may throw, and nothing has changed
        // then. Nothing below it can fail.
        if (!dropped) {
            targetsInFlight_.insert(it->target);
            if (sender != senders_.end())
                ++sender->second.inFlight;
        }
        taken = std::move(*it);
        queue_.erase(it);
        return true;
    }
    return false;
}

void ReplyQueue::CountOut(DWORD process, size_t bytes, bool wasInFlight) noexcept
{
    auto sender = senders_.find(process);
    if (sender != senders_.end()) {
        if (wasInFlight)
            --sender->second.inFlight;
        if (--sender->second.pending == 0)
            senders_.erase(sender);
    }
    bytes_ -= bytes;
}

void ReplyQueue::Finish(const Entry& done, bool wasInFlight, bool failed, ULONGLONG now) noexcept
{
    CountOut(done.job.sender.process, done.job.bytes, wasInFlight);
    if (wasInFlight)
        targetsInFlight_.erase(done.target);
    if (failed) {
        try {
            backoff_.Failed(done.target, now);
        } catch (const std::bad_alloc&) {
            // Not remembered: the next reply to it costs one more deadline.
        }
    }
}

std::deque<ReplyQueue::Entry> ReplyQueue::DropQueued() noexcept
{
    std::deque<Entry> dropped;
    dropped.swap(queue_);
    for (const Entry& entry : dropped)
        CountOut(entry.job.sender.process, entry.job.bytes, false);
    return dropped;
}

size_t ReplyQueue::Pending(DWORD process) const noexcept
{
    auto sender = senders_.find(process);
    return sender == senders_.end() ? 0 : sender->second.pending;
}
