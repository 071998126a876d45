#include "log/crypto/Md5Context.h"

#include "HexData.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct Md5Vector {
    const char* message;
    const char* digest;
};

// The test suite of RFC 1321, appendix A.5.
const Md5Vector Rfc1321Suite[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

struct LengthVector {
    size_t length;
    const char* digest;
};

// Messages of bytes (7i + 3) mod 256 at the lengths where the padding changes
// shape (one block or two, length field split or not). Made once with
// Python's hashlib.
const LengthVector PaddingBoundaries[] = {
    {55, "52c0e574e1198de5fe3f8f11440dcb1b"},
    {56, "46c9907fc908ee68b1e7b8e71286a518"},
    {57, "1c805dd236c35cab25fcb1bc73802c51"},
    {63, "a62f6d59e837867693f042f5b8f5a236"},
    {64, "7160b8fb5e9e4023d549c3971fbaeead"},
    {65, "70bd662e7aefbda85a0f7244167b7897"},
    {119, "e84905d4214f4d1ca56c2cdcc152b143"},
    {120, "e3eb5a6c8669ea01a8c185b8abc8a5dc"},
    {128, "10b2da1a82f16d99a81a7203fe9f02cb"},
    {1000, "10046f077f2082ac19676b8079f1cb1a"},
};

std::string Digest(const uint8_t* message, size_t length, size_t split1, size_t split2)
{
    Md5Context context;
    Md5Init(&context);
    Md5Update(&context, message, split1);
    Md5Update(&context, message + split1, split2 - split1);
    Md5Update(&context, message + split2, length - split2);
    uint8_t digest[16];
    Md5Final(digest, &context);
    return ToHex(digest, sizeof(digest));
}

} // namespace

TEST(Md5, Rfc1321SuiteGivesTheSameDigestAtEverySplit)
{
    for (const Md5Vector& v : Rfc1321Suite) {
        const auto* message = reinterpret_cast<const uint8_t*>(v.message);
        const size_t length = std::strlen(v.message);
        for (size_t split = 0; split <= length; ++split)
            ASSERT_EQ(Digest(message, length, split, split), v.digest) << v.message << " split at " << split;
    }
}

TEST(Md5, PaddingBoundariesGiveTheSameDigestAtEveryPairOfSplits)
{
    for (const LengthVector& v : PaddingBoundaries) {
        std::vector<uint8_t> message(v.length);
        for (size_t i = 0; i < v.length; ++i)
            message[i] = static_cast<uint8_t>(i * 7 + 3);
        const size_t step = v.length > 200 ? 37 : 1;  // the long message: a sample of the splits
        for (size_t split1 = 0; split1 <= v.length; split1 += step) {
            for (size_t split2 = split1; split2 <= v.length; split2 += step)
                ASSERT_EQ(Digest(message.data(), v.length, split1, split2), v.digest)
                    << v.length << " bytes split at " << split1 << ", " << split2;
        }
    }
}

TEST(Md5, FinalClearsTheWholeContext)
{
    Md5Context context;
    Md5Init(&context);
    Md5Update(&context, reinterpret_cast<const uint8_t*>("secret seed bytes"), 17);
    uint8_t digest[16];
    Md5Final(digest, &context);
    Md5Context zero;
    std::memset(&zero, 0, sizeof(zero));
    EXPECT_EQ(std::memcmp(&context, &zero, sizeof(zero)), 0);
}
