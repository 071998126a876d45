#include "plugin/ReplyBackoff.h"

std::string ReplyBackoff::TargetKey(const std::string& sink)
{
    std::string key = sink;
    for (char& c : key) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return key;
}

bool ReplyBackoff::Holds(const std::string& sink, ULONGLONG now, ULONGLONG& agoMs) const
{
    if (entries_.empty())
        return false;
    std::string key = TargetKey(sink);
    for (const Entry& entry : entries_) {
        if (entry.sink == key && now - entry.failedAt < BackoffMs) {
            agoMs = now - entry.failedAt;
            return true;
        }
    }
    return false;
}

void ReplyBackoff::Failed(const std::string& sink, ULONGLONG now)
{
    std::string key = TargetKey(sink);
    Entry* oldest = nullptr;
    for (Entry& entry : entries_) {
        if (entry.sink == key) {
            entry.failedAt = now;
            return;
        }
        if (!oldest || entry.failedAt < oldest->failedAt)
            oldest = &entry;
    }
    if (entries_.size() < MaxTargets) {
        entries_.reserve(MaxTargets);
        entries_.push_back(Entry{std::move(key), now});
    } else {
        oldest->sink = std::move(key);
        oldest->failedAt = now;
    }
}
