#include "log/crypto/StreamKey.h"

#include "log/crypto/BuiltInLogKey.h"
#include "log/crypto/RandomPool.h"
#include "log/crypto/WipeSecret.h"

#include <windows.h>
#include <ntsecapi.h>

#include <cstring>

namespace {

// Seed bytes one attempt consumes: the pool's, then one spare for each of
// bytes 2..9 that comes out zero.
constexpr uint32_t SpareSeedLength = 8;
constexpr uint32_t AttemptSeedLength = RandomPoolSeedLength + SpareSeedLength;

bool MakeKeyArea(uint8_t keyArea[StreamKeyAreaLength], StreamKeySeedSource source, void* context)
{
    uint8_t seed[AttemptSeedLength];
    RandomPool pool;
    std::memset(keyArea, 0, StreamKeyAreaLength);
    RandomPoolInit(&pool);

    bool seeded = source(context, seed, AttemptSeedLength);
    if (seeded) {
        // One byte per update, as many as the pool asks for.
        for (uint32_t i = 0; pool.bytesNeeded != 0 && i < RandomPoolSeedLength; ++i)
            RandomPoolUpdate(&pool, &seed[i], 1);
        RandomPoolGenerate(&pool, keyArea, StreamKeyLength);

        keyArea[0] = 0x00;
        keyArea[1] = 0x02;
        keyArea[10] = 0x00;
        for (uint32_t i = 0; i < SpareSeedLength; ++i) {
            if (keyArea[2 + i] == 0)
                keyArea[2 + i] = static_cast<uint8_t>(seed[RandomPoolSeedLength + i] % 255 + 1);
        }
    }
    RandomPoolWipe(&pool);
    WipeSecret(seed, sizeof(seed));
    return seeded;
}

} // namespace

bool SystemSeedSource(void*, uint8_t* bytes, uint32_t length)
{
    return RtlGenRandom(bytes, length) != FALSE;
}

int32_t GenerateStreamKey(uint8_t keyArea[StreamKeyAreaLength])
{
    return GenerateStreamKey(keyArea, SystemSeedSource, nullptr);
}

int32_t GenerateStreamKey(uint8_t keyArea[StreamKeyAreaLength], StreamKeySeedSource source, void* context)
{
    RsaPublicKey key;
    GetBuiltInLogKey(&key);
    return GenerateStreamKey(keyArea, &key, source, context);
}

int32_t GenerateStreamKey(uint8_t keyArea[StreamKeyAreaLength], const RsaPublicKey* key, StreamKeySeedSource source,
                          void* context)
{
    int32_t result = 0;
    for (uint32_t attempt = 0; attempt < StreamKeyAttempts; ++attempt) {
        if (!MakeKeyArea(keyArea, source, context)) {
            std::memset(keyArea, 0, StreamKeyAreaLength);
            return StreamKeySeedFailed;
        }
        // Scratch only: a key must be sealable before it is kept.
        uint8_t blob[RsaMaxModulusLength];
        uint32_t length = 0;
        result = RsaPublicBlock(blob, &length, keyArea, key);
        if (result == 0)
            break;
    }
    return result;
}

void GetBuiltInLogKey(RsaPublicKey* key)
{
    std::memset(key, 0, sizeof(*key));
    key->bits = BuiltInLogKeyBits;
    std::memcpy(key->modulus + sizeof(key->modulus) - sizeof(BuiltInLogModulus), BuiltInLogModulus,
                sizeof(BuiltInLogModulus));
    std::memcpy(key->exponent + sizeof(key->exponent) - sizeof(BuiltInLogExponent), BuiltInLogExponent,
                sizeof(BuiltInLogExponent));
}

int32_t WrapStreamKey(const uint8_t keyArea[StreamKeyAreaLength], uint8_t* blob, uint32_t* length)
{
    // The output is always the modulus length; a smaller buffer would overflow.
    if (*length < StreamKeyBlobLength)
        return RsaBadLength;
    RsaPublicKey key;
    GetBuiltInLogKey(&key);
    return RsaPublicBlock(blob, length, keyArea, &key);
}
