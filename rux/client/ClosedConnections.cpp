#include "rux/client/ClosedConnections.h"

#include "rux/wire/Frame.h"

#include <algorithm>

namespace rux {
namespace {

std::string Key(const std::string& sink)
{
    std::string key = sink;
    for (char& c : key) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return key;
}

}  // namespace

ClosedConnections& ClosedConnections::Get()
{
    static ClosedConnections* const closed = new ClosedConnections();
    return *closed;
}

void ClosedConnections::Add(const std::string& sink, uint64_t connection)
{
    Entry entry{Key(sink), connection};
    MutexHolder hold(mutex_);
    if (entries_.size() >= MaxClosedConnections)
        entries_.pop_front();
    entries_.push_back(std::move(entry));
    count_.store(entries_.size());
}

std::vector<uint64_t> ClosedConnections::Unproven(const std::string& sink)
{
    std::vector<uint64_t> unproven;
    if (Empty())
        return unproven;
    std::string key = Key(sink);
    MutexHolder hold(mutex_);
    for (const Entry& entry : entries_) {
        if (entry.sink == key && unproven.size() < MaxAwaitedConnections)
            unproven.push_back(entry.connection);
    }
    return unproven;
}

void ClosedConnections::Proven(const std::string& sink, const std::vector<uint64_t>& connections)
{
    if (connections.empty())
        return;
    std::string key = Key(sink);
    MutexHolder hold(mutex_);
    entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                  [&](const Entry& entry) {
                                      return entry.sink == key &&
                                             std::find(connections.begin(), connections.end(),
                                                       entry.connection) != connections.end();
                                  }),
                   entries_.end());
    count_.store(entries_.size());
}

}  // namespace rux
