// The reply targets whose last exchange timed out or broke, for a while: a
// flood of queries naming a sink that stalls costs one exchange's deadline
// per target in that while, not one per query. Targets are sink names,
// compared without letter case as pipe names are. Bounded: when MaxTargets
// are held, a new one takes the place of the one that failed first.
//
// Not locked: its owner (ReplyPool) serialises the calls.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

class ReplyBackoff {
public:
    static constexpr ULONGLONG BackoffMs = 5000;
    static constexpr size_t MaxTargets = 64;

    // A sink name as a target: in lower case, as pipe names ignore case.
    // Throws std::bad_alloc.
    static std::string TargetKey(const std::string& sink);

    // True when `sink` failed less than BackoffMs before `now` (GetTickCount64);
    // `agoMs` then says how long ago.
    bool Holds(const std::string& sink, ULONGLONG now, ULONGLONG& agoMs) const;
    // Notes that an exchange with `sink` failed at `now`. May throw std::bad_alloc.
    void Failed(const std::string& sink, ULONGLONG now);

private:
    struct Entry {
        std::string sink;  // lower case
        ULONGLONG failedAt;
    };
    std::vector<Entry> entries_;
};
