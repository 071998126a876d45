// The plain connections this process closed without waiting for their sink,
// by sink: what they carried may still be on its way into the sink's queues.
// The next Open to that sink names them, and its Ack proves them ended (the
// sink answers it only once it has read them to their end); before any other
// message goes to that sink, the sender first makes such an Open on its own
// connection (Connection). So messages sent before a close are queued before
// any this process sends to the same sink after it, without the close waiting.
//
// Bounded: beyond MaxClosedConnections the oldest is forgotten, and the order
// of what it carried against later messages is then no longer held (it was
// closed that many closes ago).
#pragma once

#include "base/Mutex.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace rux {

constexpr size_t MaxClosedConnections = 256;

class ClosedConnections {
public:
    // Lives as long as the process, as the library does.
    static ClosedConnections& Get();

    // Throws std::bad_alloc (the connection is then not awaited).
    void Add(const std::string& sink, uint64_t connection) OLV_EXCLUDES(mutex_);
    // Up to MaxAwaitedConnections (Frame.h) of those closed to `sink` and not
    // yet proven ended, oldest first. Throws std::bad_alloc.
    std::vector<uint64_t> Unproven(const std::string& sink) OLV_EXCLUDES(mutex_);
    void Proven(const std::string& sink, const std::vector<uint64_t>& connections) OLV_EXCLUDES(mutex_);
    // True while none waits for proof, to any sink: a send then takes no lock.
    bool Empty() const { return count_.load() == 0; }

private:
    ClosedConnections() = default;

    struct Entry {
        std::string sink;  // its name in lower case: pipe names ignore case
        uint64_t connection;
    };

    Mutex mutex_;  // guards entries_ (and count_'s changes)
    std::deque<Entry> entries_ OLV_GUARDED_BY(mutex_);
    std::atomic<size_t> count_{0};
};

}  // namespace rux
