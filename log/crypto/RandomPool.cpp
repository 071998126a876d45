#include "log/crypto/RandomPool.h"

#include "log/crypto/Md5Context.h"
#include "log/crypto/WipeSecret.h"

#include <cstring>

void RandomPoolInit(RandomPool* pool)
{
    pool->bytesNeeded = RandomPoolSeedLength;
    std::memset(pool->poolState, 0, sizeof(pool->poolState));
    pool->outputAvailable = 0;
    std::memset(pool->output, 0, sizeof(pool->output));
}

void RandomPoolUpdate(RandomPool* pool, const uint8_t* bytes, size_t length)
{
    Md5Context context;
    uint8_t digest[16];
    Md5Init(&context);
    Md5Update(&context, bytes, length);
    Md5Final(digest, &context);

    unsigned carry = 0;
    for (int i = 15; i >= 0; --i) {
        const unsigned sum = pool->poolState[i] + digest[i] + carry;
        pool->poolState[i] = static_cast<uint8_t>(sum);
        carry = sum >> 8;
    }
    WipeSecret(digest, sizeof(digest));

    pool->bytesNeeded = length < pool->bytesNeeded ? pool->bytesNeeded - static_cast<uint32_t>(length) : 0;
}

int32_t RandomPoolGenerate(RandomPool* pool, uint8_t* destination, size_t length)
{
    if (pool->bytesNeeded != 0)
        return RandomPoolNeedsSeed;

    while (length > pool->outputAvailable) {
        std::memcpy(destination, pool->output + 16 - pool->outputAvailable, pool->outputAvailable);
        destination += pool->outputAvailable;
        length -= pool->outputAvailable;

        Md5Context context;
        Md5Init(&context);
        Md5Update(&context, pool->poolState, sizeof(pool->poolState));
        Md5Final(pool->output, &context);
        pool->outputAvailable = 16;

        // Step the state so that the next block differs: from the last byte
        // up, add 1 to each byte and stop after the first one that was not 0
        // before. (Not a true increment: a 0xff byte wraps without carry. Kept
        // so that a pool fed the same seed gives the same bytes as ever.)
        for (int i = 15; i >= 0; --i) {
            if (pool->poolState[i]++ != 0)
                break;
        }
    }

    std::memcpy(destination, pool->output + 16 - pool->outputAvailable, length);
    pool->outputAvailable -= static_cast<uint32_t>(length);
    return 0;
}

void RandomPoolWipe(RandomPool* pool)
{
    WipeSecret(pool, sizeof(*pool));
}
