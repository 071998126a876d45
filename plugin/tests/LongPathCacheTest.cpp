// The long-path cache on an injected clock: sliding expiry, the capacity
// limit, the purge interval and the tick count's wrap.
#include "plugin/LongPathCache.h"

#include <gtest/gtest.h>

#include <string>

namespace {

DWORD Now;

DWORD WINAPI TestTicks()
{
    return Now;
}

std::wstring Key(int i)
{
    return L"C:\\DIR~" + std::to_wstring(i);
}

std::wstring Found(LongPathCache& cache, const std::wstring& path)
{
    std::wstring expansion = L"(miss)";
    cache.Find(path, &expansion);
    return expansion;
}

}  // namespace

TEST(LongPathCache, EachHitRestartsTheExpiryPeriod)
{
    Now = 1000;
    LongPathCache cache(&TestTicks);
    EXPECT_EQ(Found(cache, L"C:\\PROG~1"), L"(miss)");
    cache.Store(L"C:\\PROG~1", L"C:\\Program Files");

    Now += LongPathCache::ExpiryMs - 1;
    EXPECT_EQ(Found(cache, L"C:\\PROG~1"), L"C:\\Program Files");
    // Without the refresh the entry would be stale by now.
    Now += LongPathCache::ExpiryMs - 1;
    EXPECT_EQ(Found(cache, L"C:\\PROG~1"), L"C:\\Program Files");
    // Keys are compared exactly.
    EXPECT_EQ(Found(cache, L"c:\\prog~1"), L"(miss)");

    Now += LongPathCache::ExpiryMs;
    EXPECT_EQ(Found(cache, L"C:\\PROG~1"), L"(miss)");
    EXPECT_EQ(cache.Size(), 0u);
}

TEST(LongPathCache, TickCountWrapNeitherAgesNorRevivesEntries)
{
    Now = 0xFFFFFFF0u;
    LongPathCache cache(&TestTicks);
    cache.Store(L"W~1", L"wrapped");
    Now = 0x100;
    EXPECT_EQ(Found(cache, L"W~1"), L"wrapped");
    Now += LongPathCache::ExpiryMs;
    EXPECT_EQ(Found(cache, L"W~1"), L"(miss)");
}

TEST(LongPathCache, FullCacheStoresNothingAndPurgesAtMostOncePerInterval)
{
    Now = 0;
    LongPathCache cache(&TestTicks);
    for (int i = 0; i < LongPathCache::DefaultCapacity; ++i)
        cache.Store(Key(i), L"long");
    ASSERT_EQ(cache.Size(), 1024u);

    // Full: the new path is not stored; the purge finds nothing stale.
    Now = LongPathCache::ExpiryMs - 1000;
    cache.Store(L"new", L"long");
    EXPECT_EQ(cache.Size(), 1024u);
    EXPECT_EQ(Found(cache, L"new"), L"(miss)");

    // Everything is stale now, but the last purge was less than 5000 ms ago.
    Now = LongPathCache::ExpiryMs + 3999;
    cache.Store(L"new", L"long");
    EXPECT_EQ(cache.Size(), 1024u);

    // The purge is due: it erases the stale entries, and still stores nothing.
    Now = LongPathCache::ExpiryMs + 4000;
    cache.Store(L"new", L"long");
    EXPECT_EQ(cache.Size(), 0u);
    cache.Store(L"new", L"long");
    EXPECT_EQ(Found(cache, L"new"), L"long");
}

TEST(LongPathCache, PurgeKeepsFreshEntriesAndStaysDueAcrossTheWrap)
{
    Now = 0xFFFFF000u;
    LongPathCache cache(&TestTicks, 4);
    for (int i = 0; i < 4; ++i)
        cache.Store(Key(i), L"long");
    cache.Store(L"x", L"long");  // purges at 0xFFFFF000
    EXPECT_EQ(cache.Size(), 4u);

    // Refresh two entries just before the others go stale.
    Now += LongPathCache::ExpiryMs - 10;
    EXPECT_EQ(Found(cache, Key(1)), L"long");
    EXPECT_EQ(Found(cache, Key(3)), L"long");
    Now += 10;
    cache.Store(L"x", L"long");
    EXPECT_EQ(cache.Size(), 2u);
    EXPECT_EQ(Found(cache, Key(1)), L"long");
    EXPECT_EQ(Found(cache, Key(3)), L"long");
}
