#include "log/crypto/decrypt/RsaPrivateKey.h"

#include "log/crypto/Aes256Schedule.h"
#include "log/crypto/decrypt/Aes256DecryptSchedule.h"

#include "DevKeyPair.h"
#include "HexData.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>

namespace {

RsaPrivateKey DevPrivateKey()
{
    RsaPrivateKey key;
    std::string error;
    EXPECT_TRUE(ParseRsaPrivateKey(DevPrivateKeyText, &key, &error)) << error;
    return key;
}

// The public half of a private key, as a log writer would hold it.
RsaPublicKey PublicHalf(const RsaPrivateKey& key)
{
    RsaPublicKey publicKey;
    publicKey.bits = key.bits;
    std::memcpy(publicKey.modulus, key.modulus, sizeof(key.modulus));
    std::memcpy(publicKey.exponent, key.publicExponent, sizeof(key.publicExponent));
    return publicKey;
}

// Joins text pieces (GCC 12 warns falsely on literal + std::string chains).
std::string Join(std::initializer_list<std::string_view> pieces)
{
    std::string text;
    for (std::string_view piece : pieces)
        text.append(piece);
    return text;
}

std::string FieldLine(std::string_view text, std::string_view name)
{
    const size_t at = text.find(Join({"\n", name, " "}));
    if (at == std::string_view::npos)
        return "";
    return std::string(text.substr(at + 1, text.find('\n', at + 1) - at - 1));
}

} // namespace

TEST(RsaPrivateKey, DevelopmentPairHalvesMatch)
{
    const RsaPrivateKey key = DevPrivateKey();
    EXPECT_EQ(key.bits, 512);
    for (const char* field : {"bits", "modulus", "publicExponent"}) {
        EXPECT_FALSE(FieldLine(DevPublicKeyText, field).empty()) << field;
        EXPECT_EQ(FieldLine(DevPublicKeyText, field), FieldLine(DevPrivateKeyText, field)) << field;
    }
    EXPECT_TRUE(FieldLine(DevPublicKeyText, "privateExponent").empty()) << "the public file holds the private key";
}

TEST(RsaPrivateKey, ParseRejectsMalformedKeyFiles)
{
    const std::string modulus = FieldLine(DevPrivateKeyText, "modulus");
    const std::string publicExponent = FieldLine(DevPrivateKeyText, "publicExponent");
    const std::string privateExponent = FieldLine(DevPrivateKeyText, "privateExponent");
    const std::string keyLines = Join({modulus, "\n", publicExponent, "\n", privateExponent, "\n"});
    const std::string good = Join({"bits 512\n", keyLines});
    struct Case {
        const char* name;
        std::string text;
    };
    const Case cases[] = {
        {"empty", ""},
        {"missing private exponent", Join({"bits 512\n", modulus, "\n", publicExponent, "\n"})},
        {"unknown field", Join({good, "colour blue\n"})},
        {"bits not a number", Join({"bits 5x2\n", keyLines})},
        {"bits below the block", Join({"bits 504\n", keyLines})},
        {"bits above the record", Join({"bits 1025\n", keyLines})},
        {"bits not the modulus's", Join({"bits 511\n", keyLines})},
        {"odd hex", Join({good, "prime1 abc\n"})},
        {"not hex", Join({good, "prime1 zz\n"})},
        {"value missing", Join({good, "prime2\n"})},
        {"modulus too long",
         Join({"bits 512\nmodulus ", std::string(258, 'f'), "\n", publicExponent, "\n", privateExponent, "\n"})},
    };
    for (const Case& c : cases) {
        RsaPrivateKey key;
        std::memset(&key, 0xcc, sizeof(key));
        std::string error;
        EXPECT_FALSE(ParseRsaPrivateKey(c.text, &key, &error)) << c.name;
        EXPECT_FALSE(error.empty()) << c.name;
        EXPECT_EQ(key.bits, 0xcccc) << c.name << ": key written on failure";
    }

    RsaPrivateKey key;
    std::string error;
    EXPECT_TRUE(ParseRsaPrivateKey(Join({"# comment\r\n\r\n", good, "prime1 00ab\n"}), &key, &error)) << error;
    // At the limits: a modulus of 505 bits, the shortest a block fits below,
    // and one of 1,024 bits, the 128 bytes a field holds.
    const std::string exponents = Join({publicExponent, "\n", privateExponent, "\n"});
    EXPECT_TRUE(ParseRsaPrivateKey(Join({"bits 505\nmodulus 01", std::string(126, '0'), "\n", exponents}), &key,
                                   &error))
        << error;
    EXPECT_TRUE(ParseRsaPrivateKey(Join({"bits 1024\nmodulus 80", std::string(254, '0'), "\n", exponents}), &key,
                                   &error))
        << error;
}

TEST(RsaPrivateKey, PrivateBlockInvertsPublicBlock)
{
    const RsaPrivateKey key = DevPrivateKey();
    const RsaPublicKey publicKey = PublicHalf(key);
    uint8_t block[RsaBlockLength] = {};
    for (int round = 0; round < 16; ++round) {
        for (size_t i = 1; i < sizeof(block); ++i)
            block[i] = static_cast<uint8_t>(block[i] * 31 + i + round);
        block[0] = 0;  // below any 512-bit modulus
        uint8_t sealed[RsaBlockLength], opened[RsaBlockLength];
        uint32_t sealedLength = 0, openedLength = 0;
        ASSERT_EQ(RsaPublicBlock(sealed, &sealedLength, block, &publicKey), 0);
        ASSERT_EQ(RsaPrivateBlock(opened, &openedLength, sealed, sealedLength, &key), 0);
        EXPECT_EQ(openedLength, RsaBlockLength);
        EXPECT_EQ(ToHex(opened, openedLength), ToHex(block, sizeof(block)));
    }
    // Input of up to 128 bytes (here zeros in front of a small number), not one more.
    const uint8_t wide[RsaMaxModulusLength + 1] = {};
    uint8_t opened[RsaBlockLength];
    uint32_t openedLength = 0;
    EXPECT_EQ(RsaPrivateBlock(opened, &openedLength, wide, RsaMaxModulusLength, &key), 0);
    EXPECT_EQ(RsaPrivateBlock(opened, &openedLength, wide, RsaMaxModulusLength + 1, &key), RsaBadLength);
}

TEST(RsaPrivateKey, UnwrapRejectsBlobsThatAreNotSealedStreamKeys)
{
    const RsaPrivateKey key = DevPrivateKey();
    const RsaPublicKey publicKey = PublicHalf(key);
    uint8_t streamKey[StreamKeyLength];
    std::memset(streamKey, 0xcc, sizeof(streamKey));

    // Sealed correctly, but not laid out as a stream key (another key pair's
    // blob opens to noise like this): bytes 2 to 9 must not be zero, bytes
    // 32 to 63 must be.
    uint8_t notAKey[2][RsaBlockLength] = {{0x00, 0x02, 1, 2, 3, 4, 5, 6, 7, 0x00, 0x00, 9},
                                          {0x00, 0x02, 1, 2, 3, 4, 5, 6, 7, 8, 0x00, 9}};
    notAKey[1][40] = 1;
    uint8_t blob[RsaBlockLength];
    uint32_t length = 0;
    for (const uint8_t* block : notAKey) {
        ASSERT_EQ(RsaPublicBlock(blob, &length, block, &publicKey), 0);
        EXPECT_EQ(UnwrapStreamKey(&key, blob, length, streamKey), StreamKeyNotRecognised);
    }

    EXPECT_EQ(UnwrapStreamKey(&key, blob, length - 1, streamKey), RsaBadLength);

    std::vector<uint8_t> modulus(key.modulus + 64, key.modulus + 128);
    EXPECT_EQ(UnwrapStreamKey(&key, modulus.data(), 64, streamKey), RsaBlockTooLarge);
    EXPECT_EQ(streamKey[0], 0xcc) << "key written on failure";
}

TEST(RsaPrivateKey, LogRecordsRoundTripThroughSealAndCipher)
{
    // What a writer and a reader of an encrypted log do, end to end, with the
    // development pair: seal a fresh key, encrypt records, then recover both.
    const RsaPrivateKey key = DevPrivateKey();
    const RsaPublicKey publicKey = PublicHalf(key);
    uint8_t keyArea[StreamKeyAreaLength];
    ASSERT_EQ(GenerateStreamKey(keyArea), 0);
    uint8_t blob[StreamKeyBlobLength];
    uint32_t length = 0;
    ASSERT_EQ(RsaPublicBlock(blob, &length, keyArea, &publicKey), 0);

    Aes256Schedule cipher;
    Aes256ExpandKey(&cipher, keyArea);
    std::u16string text = u"\xfeff[1f:2a:3b:2] RuxUIClient::WorkerProc: new session id = 1\r\n";
    text.resize((text.size() + 7) / 8 * 8, u'\0');
    std::vector<uint8_t> records(text.size() * 2);
    std::memcpy(records.data(), text.data(), records.size());
    const std::vector<uint8_t> plain = records;
    Aes256EncryptBlocks(&cipher, records.data(), records.size() / 16);
    ASSERT_NE(records, plain);

    uint8_t streamKey[StreamKeyLength];
    ASSERT_EQ(UnwrapStreamKey(&key, blob, length, streamKey), 0);
    Aes256DecryptSchedule inverse;
    Aes256ExpandDecryptKey(&inverse, streamKey);
    Aes256DecryptBlocks(&inverse, records.data(), records.data(), records.size() / 16);
    EXPECT_EQ(records, plain);
}
