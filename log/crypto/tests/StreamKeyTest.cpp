#include "log/crypto/StreamKey.h"
#include "log/crypto/decrypt/RsaPrivateKey.h"

#include "DevKeyPair.h"
#include "HexData.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

namespace {

// Hands out a fixed byte string, repeating it, and counts the calls.
struct ScriptedSeed {
    std::vector<uint8_t> bytes;
    size_t position = 0;
    int calls = 0;
    bool fail = false;

    static bool Source(void* context, uint8_t* out, uint32_t length)
    {
        auto* self = static_cast<ScriptedSeed*>(context);
        ++self->calls;
        if (self->fail)
            return false;
        for (uint32_t i = 0; i < length; ++i) {
            out[i] = self->bytes[self->position];
            self->position = (self->position + 1) % self->bytes.size();
        }
        return true;
    }
};

// Seed bytes (13i + 5) mod 256 with byte 0 raised by 23: the pool's output
// then has a zero at byte 6, which the seventh spare byte (4) replaces, and a
// non-zero byte 10 that the layout clears. The expected key comes from an
// independent Python model of the pool and layout.
std::vector<uint8_t> ZeroReplacingSeed()
{
    std::vector<uint8_t> seed(256 + 8);
    for (size_t i = 0; i < 256; ++i)
        seed[i] = static_cast<uint8_t>(i * 13 + 5 + (i == 0 ? 23 : 0));
    const uint8_t spare[8] = {0xff, 0, 1, 2, 3, 4, 5, 6};
    std::memcpy(&seed[256], spare, sizeof(spare));
    return seed;
}
const char ZeroReplacingKey[] = "0002567b585d0454bca900725a19bc7a1d612170be5c15a1000e02f13cb6a0bd";

void ExpectLayout(const uint8_t keyArea[StreamKeyAreaLength])
{
    EXPECT_EQ(keyArea[0], 0x00);
    EXPECT_EQ(keyArea[1], 0x02);
    EXPECT_EQ(keyArea[10], 0x00);
    for (int i = 2; i < 10; ++i)
        EXPECT_NE(keyArea[i], 0) << "byte " << i;
    for (uint32_t i = StreamKeyLength; i < StreamKeyAreaLength; ++i)
        EXPECT_EQ(keyArea[i], 0) << "byte " << i;
}

RsaPrivateKey DevPrivateKey()
{
    RsaPrivateKey key;
    std::string error;
    EXPECT_TRUE(ParseRsaPrivateKey(DevPrivateKeyText, &key, &error)) << error;
    return key;
}

bool BuiltInKeyIsTheDevelopmentKey()
{
    RsaPublicKey builtIn;
    GetBuiltInLogKey(&builtIn);
    const RsaPrivateKey dev = DevPrivateKey();
    return std::memcmp(builtIn.modulus, dev.modulus, sizeof(dev.modulus)) == 0;
}

} // namespace

TEST(StreamKey, GeneratedKeysHaveTheFixedBytesAndDiffer)
{
    std::set<std::string> keys;
    for (int i = 0; i < 64; ++i) {
        uint8_t keyArea[StreamKeyAreaLength];
        std::memset(keyArea, 0xcc, sizeof(keyArea));
        ASSERT_EQ(GenerateStreamKey(keyArea), 0);
        ExpectLayout(keyArea);
        keys.insert(ToHex(keyArea, StreamKeyLength));
    }
    EXPECT_EQ(keys.size(), 64u) << "the system generator repeated a key";
}

TEST(StreamKey, SameSeedBytesGiveTheSameKeyAndOtherSeedsAnother)
{
    ScriptedSeed first{ZeroReplacingSeed()}, second{ZeroReplacingSeed()};
    uint8_t a[StreamKeyAreaLength], b[StreamKeyAreaLength];
    ASSERT_EQ(GenerateStreamKey(a, ScriptedSeed::Source, &first), 0);
    ASSERT_EQ(GenerateStreamKey(b, ScriptedSeed::Source, &second), 0);
    EXPECT_EQ(ToHex(a, StreamKeyLength), ZeroReplacingKey);
    EXPECT_EQ(ToHex(b, StreamKeyLength), ZeroReplacingKey);
    ExpectLayout(a);
    EXPECT_EQ(first.calls, 1) << "the first key wraps, so one attempt is enough";

    ScriptedSeed other{ZeroReplacingSeed()};
    other.bytes[0] ^= 1;
    ASSERT_EQ(GenerateStreamKey(b, ScriptedSeed::Source, &other), 0);
    EXPECT_NE(ToHex(b, StreamKeyLength), ZeroReplacingKey);
    ExpectLayout(b);
}

TEST(StreamKey, KeyThatNeverSealsIsKeptAfter128AttemptsWithTheSealError)
{
    struct Case {
        const char* name;
        uint16_t bits;
        uint8_t modulusTop;  // first two bytes of a 64-byte modulus, 0xff after them
        int32_t expected;
    };
    const Case cases[] = {
        {"modulus shorter than the block", 504, 0xff, RsaBadLength},
        {"modulus below every key block", 512, 0x00, RsaBlockTooLarge},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RsaPublicKey key;
        std::memset(&key, 0, sizeof(key));
        key.bits = c.bits;
        key.modulus[64] = c.modulusTop;  // 0x0000ff..ff is below every 0x0002... key block
        key.modulus[65] = c.modulusTop;
        std::memset(key.modulus + 66, 0xff, 62);
        key.exponent[127] = 3;

        ScriptedSeed seed{ZeroReplacingSeed()};
        uint8_t keyArea[StreamKeyAreaLength];
        EXPECT_EQ(GenerateStreamKey(keyArea, &key, ScriptedSeed::Source, &seed), c.expected);
        EXPECT_EQ(seed.calls, static_cast<int>(StreamKeyAttempts));
        EXPECT_EQ(ToHex(keyArea, StreamKeyLength), ZeroReplacingKey);
        ExpectLayout(keyArea);
    }
}

TEST(StreamKey, FailingSeedSourceLeavesNoKey)
{
    ScriptedSeed broken{{1}};
    broken.fail = true;
    uint8_t keyArea[StreamKeyAreaLength];
    std::memset(keyArea, 0xcc, sizeof(keyArea));
    EXPECT_EQ(GenerateStreamKey(keyArea, ScriptedSeed::Source, &broken), StreamKeySeedFailed);
    for (uint8_t byte : keyArea)
        ASSERT_EQ(byte, 0);
}

TEST(StreamKey, WrapRefusesABlobBufferShorterThanTheModulus)
{
    uint8_t keyArea[StreamKeyAreaLength];
    ASSERT_EQ(GenerateStreamKey(keyArea), 0);
    uint8_t blob[StreamKeyBlobLength];
    std::memset(blob, 0xcc, sizeof(blob));
    uint32_t length = StreamKeyBlobLength - 1;
    EXPECT_EQ(WrapStreamKey(keyArea, blob, &length), RsaBadLength);
    EXPECT_EQ(length, StreamKeyBlobLength - 1);
    EXPECT_EQ(blob[0], 0xcc);
}

TEST(StreamKey, BuiltInKeyIs512BitsWithItsExponentInTheLastBytes)
{
    RsaPublicKey key;
    GetBuiltInLogKey(&key);
    EXPECT_EQ(key.bits, 512);
    for (int i = 0; i < 64; ++i)
        ASSERT_EQ(key.modulus[i], 0) << "modulus byte " << i;
    EXPECT_GE(key.modulus[64], 0x80) << "the modulus has fewer than 512 bits";
    for (int i = 0; i < 125; ++i)
        ASSERT_EQ(key.exponent[i], 0) << "exponent byte " << i;
    EXPECT_EQ(key.exponent[127] & 1, 1) << "an even public exponent cannot be inverted";
}

TEST(StreamKey, WrappedKeyUnwrapsWithTheDevelopmentPrivateKey)
{
    if (!BuiltInKeyIsTheDevelopmentKey())
        GTEST_SKIP() << "this build carries another public key (OLV_LOG_PUBLIC_KEY_FILE)";
    const RsaPrivateKey privateKey = DevPrivateKey();
    for (int i = 0; i < 8; ++i) {
        uint8_t keyArea[StreamKeyAreaLength];
        ASSERT_EQ(GenerateStreamKey(keyArea), 0);
        uint8_t blob[StreamKeyBlobLength];
        uint32_t length = sizeof(blob);
        ASSERT_EQ(WrapStreamKey(keyArea, blob, &length), 0);
        ASSERT_EQ(length, StreamKeyBlobLength);
        EXPECT_NE(std::memcmp(blob, keyArea, StreamKeyLength), 0) << "the blob holds the key in the clear";

        // The whole 64-byte block comes back, and the reader's unwrap takes
        // the AES key from it.
        uint8_t opened[StreamKeyAreaLength];
        uint32_t openedLength = 0;
        ASSERT_EQ(RsaPrivateBlock(opened, &openedLength, blob, length, &privateKey), 0);
        EXPECT_EQ(ToHex(opened, openedLength), ToHex(keyArea, StreamKeyAreaLength));
        uint8_t recovered[StreamKeyLength];
        ASSERT_EQ(UnwrapStreamKey(&privateKey, blob, length, recovered), 0);
        EXPECT_EQ(ToHex(recovered, StreamKeyLength), ToHex(keyArea, StreamKeyLength));
    }
}
