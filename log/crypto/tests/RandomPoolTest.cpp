#include "log/crypto/RandomPool.h"

#include "HexData.h"

#include <gtest/gtest.h>


namespace {

// The pool fed bytes 0..255 one at a time, then asked for 40 bytes (two full
// output blocks and half of a third). Made once with an independent Python
// model of the pool over hashlib's MD5.
const char SeededOutput[] =
    "61fe547bceed40c922653e4a943c001dcff1e182c2b36cab33dc44eceac6500f2c959c16062c4060";

void FeedCounting(RandomPool* pool, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t byte = static_cast<uint8_t>(i);
        RandomPoolUpdate(pool, &byte, 1);
    }
}

} // namespace

TEST(RandomPool, RefusesOutputUntilFullySeeded)
{
    RandomPool pool;
    RandomPoolInit(&pool);
    uint8_t out[4] = {0xcc, 0xcc, 0xcc, 0xcc};
    EXPECT_EQ(RandomPoolGenerate(&pool, out, sizeof(out)), RandomPoolNeedsSeed);
    FeedCounting(&pool, RandomPoolSeedLength - 1);
    EXPECT_EQ(pool.bytesNeeded, 1u);
    EXPECT_EQ(RandomPoolGenerate(&pool, out, sizeof(out)), RandomPoolNeedsSeed);
    EXPECT_EQ(out[0], 0xcc) << "wrote output while refusing";

    const uint8_t last = 255;
    RandomPoolUpdate(&pool, &last, 1);
    EXPECT_EQ(pool.bytesNeeded, 0u);
    EXPECT_EQ(RandomPoolGenerate(&pool, out, sizeof(out)), 0);

    // A long update counts its whole length, and the count stops at 0.
    RandomPoolInit(&pool);
    const std::vector<uint8_t> many(300, 1);
    RandomPoolUpdate(&pool, many.data(), many.size());
    EXPECT_EQ(pool.bytesNeeded, 0u);
}

TEST(RandomPool, OutputMatchesAnIndependentModelWhateverTheRequestSizes)
{
    const std::vector<std::vector<size_t>> requestSizes = {
        {40}, {1, 39}, {15, 1, 16, 8}, {16, 16, 8}, {17, 0, 23}, {3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 1},
    };
    for (const std::vector<size_t>& sizes : requestSizes) {
        RandomPool pool;
        RandomPoolInit(&pool);
        FeedCounting(&pool, RandomPoolSeedLength);
        std::vector<uint8_t> out(41, 0xcc);
        size_t at = 0;
        for (size_t size : sizes) {
            ASSERT_EQ(RandomPoolGenerate(&pool, out.data() + at, size), 0);
            at += size;
        }
        EXPECT_EQ(ToHex(out.data(), 40), SeededOutput) << "first request " << sizes[0];
        EXPECT_EQ(out[40], 0xcc);
    }
}
