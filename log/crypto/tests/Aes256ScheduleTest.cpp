#include "log/crypto/Aes256Paths.h"
#include "log/crypto/Aes256Schedule.h"
#include "log/crypto/decrypt/Aes256DecryptSchedule.h"

#include "HexData.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

namespace {

struct AesVector {
    const char* name;
    const char* key;
    const char* plaintext;
    const char* ciphertext;
};

const AesVector KnownAnswers[] = {
    {"FIPS-197 appendix C.3", "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
     "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
    {"SP 800-38A F.1.5 (ECB-AES256, four blocks)",
     "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
     "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
     "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710",
     "f3eed1bdb5d2a03c064b5a7e3db181f8591ccb10d410ed26dc5ba74a31362870"
     "b6ed21b99ca6f4f9f153e7b1beafed1d23304b7a39f9f3ff067d8d8f9e24ecc7"},
    // Seventeen blocks (one interleaved group of eight, another, and one
    // left over) of bytes (i^2 + 7i + 1) mod 256, whose period of 256 bytes
    // makes block 16 equal block 0. Made once with another implementation.
    {"seventeen blocks", "0b2845627f9cb9d6f3102d4a6784a1bedbf815324f6c89a6c3e0fd1a3754718e", nullptr,
     "adf7c5a0e5ae8fa23d718dff319c7b2e678cec2cf4c37f69fe390a5eb5061e35ff30ac722cd1df055374ee07002c2d8f"
     "bbfb2a05fca009649dab90f18eb6fb899410f60b17040bbdd91d1ab4d955f35e821e5c9643a0b9d594d89890e610eea2"
     "59fa6fae4d6416624c59d1fef0546a5b7becdc7c41424fea8e7b5395e71fcdf9d2585b1d47c930506c14a081d03e60cf"
     "d59f0556fa3907f30534d43598e4cb1ec0b911b7ddf68bd4ad24d366778f951d1fff005245ae91977c7ed6451695d52e"
     "48132bd8d08bcff07fae8bfd24e56b7fc429b3d6ecf598de161a2c2c5b0b05958108e72c7efd8bc735cb150187130d31"
     "3856f7f45d2e814bd14f7e685d14c260adf7c5a0e5ae8fa23d718dff319c7b2e"},
};

std::vector<uint8_t> Plaintext(const AesVector& v)
{
    if (v.plaintext)
        return FromHex(v.plaintext);
    std::vector<uint8_t> data(17 * 16);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * i + 7 * i + 1);
    return data;
}

using EncryptPath = void (*)(const Aes256Schedule*, const uint8_t*, uint8_t*, size_t);

struct Path {
    const char* name;
    EncryptPath encrypt;
};

std::vector<Path> AvailablePaths()
{
    std::vector<Path> paths = {
        {"portable", Aes256EncryptBlocksPortable},
        {"dispatch", [](const Aes256Schedule* s, const uint8_t* in, uint8_t* out, size_t n) {
             Aes256EncryptBlocks(s, in, out, n);
         }},
    };
    if (AesNiAvailable())
        paths.push_back({"AES-NI", Aes256EncryptBlocksNi});
    return paths;
}

Aes256Schedule Expand(std::string_view keyHex)
{
    const std::vector<uint8_t> key = FromHex(keyHex);
    Aes256Schedule schedule;
    Aes256ExpandKey(&schedule, key.data());
    return schedule;
}

// Deterministic filler for the path-equivalence tests.
std::vector<uint8_t> Pattern(size_t length, uint32_t seed)
{
    std::vector<uint8_t> data(length);
    for (size_t i = 0; i < length; ++i) {
        seed = seed * 1103515245u + 12345u;
        data[i] = static_cast<uint8_t>(seed >> 16);
    }
    return data;
}

} // namespace

TEST(Aes256, KnownAnswersOnEveryPathInPlaceAndOutOfPlace)
{
    if (!AesNiAvailable())
        std::printf("note: this processor has no AES instructions; only the portable path was checked\n");
    for (const AesVector& v : KnownAnswers) {
        const Aes256Schedule schedule = Expand(v.key);
        const std::vector<uint8_t> plaintext = Plaintext(v);
        const size_t blocks = plaintext.size() / 16;
        for (const Path& path : AvailablePaths()) {
            SCOPED_TRACE(std::string(v.name) + " / " + path.name);
            std::vector<uint8_t> out(plaintext.size() + 16, 0xcc);
            path.encrypt(&schedule, plaintext.data(), out.data(), blocks);
            EXPECT_EQ(ToHex(out.data(), plaintext.size()), v.ciphertext);
            EXPECT_EQ(out[plaintext.size()], 0xcc) << "wrote past the last block";

            std::vector<uint8_t> inPlace = plaintext;
            path.encrypt(&schedule, inPlace.data(), inPlace.data(), blocks);
            EXPECT_EQ(ToHex(inPlace), v.ciphertext);
        }
    }
}

TEST(Aes256, InPlaceOverloadEncryptsTheBufferItself)
{
    const Aes256Schedule schedule = Expand(KnownAnswers[0].key);
    std::vector<uint8_t> data = FromHex(KnownAnswers[0].plaintext);
    Aes256EncryptBlocks(&schedule, data.data(), 1);
    EXPECT_EQ(ToHex(data), KnownAnswers[0].ciphertext);
}

TEST(Aes256, EveryBlockCountGivesTheSameBytesOnEveryPath)
{
    const Aes256Schedule schedule = Expand("c0ffee0123456789abcdef00112233445566778899aabbccddeeff0102030405");
    const std::vector<uint8_t> data = Pattern(17 * 16, 42);
    std::vector<uint8_t> reference(data.size());
    Aes256EncryptBlocksPortable(&schedule, data.data(), reference.data(), 17);
    for (const Path& path : AvailablePaths()) {
        for (size_t count = 0; count <= 17; ++count) {
            SCOPED_TRACE(std::string(path.name) + ", blocks: " + std::to_string(count));
            std::vector<uint8_t> out(data.size(), 0xcc);
            path.encrypt(&schedule, data.data(), out.data(), count);
            // Each block by itself: the first `count` blocks equal the
            // reference's, and nothing after them is touched.
            EXPECT_EQ(std::memcmp(out.data(), reference.data(), count * 16), 0);
            for (size_t i = count * 16; i < out.size(); ++i)
                ASSERT_EQ(out[i], 0xcc) << "byte " << i;
        }
    }
}

TEST(Aes256, EqualPlaintextBlocksGiveEqualCiphertextBlocks)
{
    // The first record of every encrypted log: 0xff 0xfe and fourteen zeros.
    const Aes256Schedule schedule = Expand("0002547bceed40c92265004a943c001dcff1e182c2b36cab33dc44eceac6500f");
    std::vector<uint8_t> data(9 * 16, 0);
    for (size_t block = 0; block < 9; ++block) {
        data[16 * block] = 0xff;
        data[16 * block + 1] = 0xfe;
    }
    for (const Path& path : AvailablePaths()) {
        SCOPED_TRACE(path.name);
        std::vector<uint8_t> out(data.size());
        path.encrypt(&schedule, data.data(), out.data(), 9);
        for (size_t block = 1; block < 9; ++block)
            EXPECT_EQ(std::memcmp(out.data(), out.data() + 16 * block, 16), 0) << "block " << block;
        EXPECT_NE(std::memcmp(out.data(), data.data(), 16), 0);
    }
}

TEST(Aes256, DecryptionRestoresWhatEveryPathEncrypted)
{
    for (const AesVector& v : KnownAnswers) {
        SCOPED_TRACE(v.name);
        const std::vector<uint8_t> key = FromHex(v.key);
        Aes256DecryptSchedule inverse;
        Aes256ExpandDecryptKey(&inverse, key.data());
        std::vector<uint8_t> data = FromHex(v.ciphertext);
        Aes256DecryptBlocks(&inverse, data.data(), data.data(), data.size() / 16);
        EXPECT_EQ(ToHex(data), ToHex(Plaintext(v)));
    }
}
