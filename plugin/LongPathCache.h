// Expanded paths by the path as the caller gave it (case-sensitive keys), each
// with the tick count of its last store or hit.
//
// An entry is fresh while less than ExpiryMs have passed since its stamp, the
// difference taken modulo 2^32 so that the tick count's wrap after 49.7 days
// neither ages nor revives entries. A hit restarts the period. A stale entry
// goes when a look-up of its own key finds it, or at a purge.
//
// A store into a full cache (Capacity entries; NoLimit for none) stores
// nothing and purges instead, at most once per PurgeIntervalMs: a burst of new
// paths never walks the entries more often than that.
//
// Locking: look-ups (and the hit's stamp refresh, one atomic store) run in
// parallel under the shared lock; erase, store and purge alone under the
// exclusive lock.
#pragma once

#include "runtime/SyncLock.h"
#include "base/ThreadSafety.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <string>

class LongPathCache {
public:
    using TickSource = DWORD(WINAPI*)();

    static constexpr std::uint32_t ExpiryMs = 60000;
    static constexpr std::uint32_t PurgeIntervalMs = 5000;
    static constexpr std::int32_t DefaultCapacity = 1024;
    static constexpr std::int32_t NoLimit = -1;

    // `ticks` is the clock (GetTickCount; tests pass their own).
    explicit LongPathCache(TickSource ticks = &GetTickCount, std::int32_t capacity = DefaultCapacity) noexcept;

    LongPathCache(const LongPathCache&) = delete;
    LongPathCache& operator=(const LongPathCache&) = delete;

    // On a fresh entry: copies its expansion to `expansion`, restarts its
    // period and returns true. Otherwise returns false, erasing a stale entry,
    // and leaves `expansion` untouched. Throws std::bad_alloc.
    bool Find(const std::wstring& path, std::wstring* expansion) OLV_EXCLUDES(lock);

    // Sets the entry of `path` (new or not) to `expansion`, stamped now,
    // unless the cache is full. Throws std::bad_alloc.
    void Store(const std::wstring& path, const std::wstring& expansion) OLV_EXCLUDES(lock);

    std::size_t Size() OLV_EXCLUDES(lock);

private:
    struct Entry {
        Entry(const std::wstring& expansion, std::uint32_t stamp) : expansion(expansion), stamp(stamp) {}
        std::wstring expansion;
        std::atomic<std::uint32_t> stamp;
    };

    bool IsFresh(const Entry& entry, std::uint32_t now) const noexcept;
    // With `lock` held exclusively.
    void Purge() OLV_REQUIRES(lock);

    const TickSource ticks;
    const std::int32_t capacity;
    SyncLock lock;
    std::map<std::wstring, Entry> entries OLV_GUARDED_BY(lock);
    // Tick count of the last purge; the first purge is due at once.
    std::uint32_t lastPurge OLV_GUARDED_BY(lock) = 0;
    bool purged OLV_GUARDED_BY(lock) = false;
};
