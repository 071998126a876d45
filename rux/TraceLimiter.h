// A bound on how many lines of one kind reach the trace callback: at most
// `burst` in a period of `periodMs` (counted from the first line of the
// period); the lines beyond are counted instead, and the first line let
// through after them says how many were held back. So a flood of clients
// that are turned away cannot flood the application's log.
//
// Thread-safe; its mutex is a leaf, never held while tracing.
#pragma once

#include "base/Mutex.h"

#include <windows.h>

#include <cstdint>
#include <string>

namespace rux {

class TraceLimiter {
public:
    TraceLimiter(uint32_t burst, DWORD periodMs) : burst_(burst), periodMs_(periodMs) {}
    TraceLimiter(const TraceLimiter&) = delete;
    TraceLimiter& operator=(const TraceLimiter&) = delete;

    // True when a line may be traced now; `heldBack` then receives how many
    // lines were held back since the last one that was let through.
    bool Allow(uint64_t& heldBack) OLV_EXCLUDES(mutex_);
    // " (N similar lines before this one were not traced)", or "" for 0.
    static std::string HeldBackNote(uint64_t heldBack);

private:
    const uint32_t burst_;
    const DWORD periodMs_;
    Mutex mutex_;
    ULONGLONG periodStart_ OLV_GUARDED_BY(mutex_) = 0;
    uint32_t letThrough_ OLV_GUARDED_BY(mutex_) = 0;  // in this period
    uint64_t heldBack_ OLV_GUARDED_BY(mutex_) = 0;    // since the last line let through
};

}  // namespace rux
