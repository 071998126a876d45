#include "plugin/LongPathCache.h"

LongPathCache::LongPathCache(TickSource ticks, std::int32_t capacity) noexcept : ticks(ticks), capacity(capacity) {}

bool LongPathCache::IsFresh(const Entry& entry, std::uint32_t now) const noexcept
{
    return now - entry.stamp.load(std::memory_order_relaxed) < ExpiryMs;
}

bool LongPathCache::Find(const std::wstring& path, std::wstring* expansion)
{
    {
        SharedLockHolder hold(lock);
        auto found = entries.find(path);
        if (found == entries.end())
            return false;
        const std::uint32_t now = ticks();
        if (IsFresh(found->second, now)) {
            *expansion = found->second.expansion;
            found->second.stamp.store(now, std::memory_order_relaxed);
            return true;
        }
    }
    // Another thread may have stored a new expansion since the shared lock
    // went: only an entry that is still stale goes.
    ExclusiveSyncLockHolder hold(lock);
    auto found = entries.find(path);
    if (found != entries.end() && !IsFresh(found->second, ticks()))
        entries.erase(found);
    return false;
}

void LongPathCache::Store(const std::wstring& path, const std::wstring& expansion)
{
    ExclusiveSyncLockHolder hold(lock);
    if (capacity != NoLimit && static_cast<std::int64_t>(entries.size()) >= capacity) {
        Purge();
        return;
    }
    const std::uint32_t now = ticks();
    auto found = entries.find(path);
    if (found == entries.end()) {
        entries.try_emplace(path, expansion, now);
    } else {
        found->second.expansion = expansion;
        found->second.stamp.store(now, std::memory_order_relaxed);
    }
}

void LongPathCache::Purge()
{
    const std::uint32_t now = ticks();
    if (purged && now - lastPurge < PurgeIntervalMs)
        return;
    purged = true;
    lastPurge = now;
    for (auto entry = entries.begin(); entry != entries.end();) {
        if (IsFresh(entry->second, now))
            ++entry;
        else
            entry = entries.erase(entry);
    }
}

std::size_t LongPathCache::Size()
{
    SharedLockHolder hold(lock);
    return entries.size();
}
