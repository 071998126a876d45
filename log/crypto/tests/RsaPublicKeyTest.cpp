#include "log/crypto/RsaPublicKey.h"

#include "HexData.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// Right-aligns big-endian hex into a key field.
void SetField(uint8_t (&field)[RsaMaxModulusLength], std::string_view hex)
{
    const std::vector<uint8_t> bytes = FromHex(hex);
    std::memset(field, 0, sizeof(field));
    std::memcpy(field + sizeof(field) - bytes.size(), bytes.data(), bytes.size());
}

RsaPublicKey MakeKey(uint16_t bits, std::string_view modulus, std::string_view exponent)
{
    RsaPublicKey key;
    key.bits = bits;
    SetField(key.modulus, modulus);
    SetField(key.exponent, exponent);
    return key;
}

struct BlockResult {
    int32_t result;
    uint32_t length;
    std::string output;  // hex of the first `length` bytes, or of the untouched buffer
};

BlockResult Seal(const RsaPublicKey& key, std::string_view inputHex)
{
    const std::vector<uint8_t> input = FromHex(inputHex);
    uint8_t output[RsaMaxModulusLength + 1];
    std::memset(output, 0xcc, sizeof(output));
    uint32_t length = 0xdddd;
    const int32_t result = RsaPublicBlock(output, &length, input.data(), &key);
    EXPECT_EQ(output[result == 0 ? length : 0], 0xcc) << "wrote past its output";
    return {result, length, result == 0 ? ToHex(output, length) : ""};
}

struct RsaVector {
    const char* modulus;
    const char* exponent;
    const char* input;
    const char* output;
};

// Made once with Python's pow(): exponents 3, 17, 65537, a full-size one, a
// random 24-bit one, 0xffffff and 2; the last input is the modulus minus 1.
const RsaVector Rsa512Vectors[] = {
    {"d64368d49030332b8bad161ac0bf99da754a07d8eae9d14e5bae5fa3deaa242a4c6a8d11ef537ace4a8718fed5c99622a0416a5ba1392c05853ac8b6264bf09d", "03", "cb1f40b812022312610936372be34c7f2cc38aac15739b763880e32a4b6c8b08543072373d964633d861a61315aabc6e17f7cc1b31a38227adb3f4525bc7c7c3", "91ef0680338a9aade78cd4b41a63ba8137378bb7d2c4f0987c64d0dc7f0f92db7738d2e9ae908eeefa83ca7ddbfd1437be912430bbb2f8e0edb7af52eae51792"},
    {"c99545c8dadb2ed9d19e2ef7636643143f7302418fb81fe07da451d0e0cf5520adacd6ecd21b403c3b0d9ca3829cff184b2777b1f8b99de398ec4d69b515f027", "11", "288c783bf1496e946f98816eee5769356251a70ff83234d347e9c361dac619e1863647e2c2a0062b430744f2bf02fc671ab5a0ce92113a848d24e10ba7626551", "951e1dc71113feb1e9e22c3e9c0a599d0f7c74bfe8696788f0417e16a439e87f4229ce0bde4d94c78325111b37f2a8abf905d2eb9a907292f1ea8599a4fa1eff"},
    {"b37b94e068b77c80181dbec6c7ccb64df2f8dff9d9a56b6d5f3fb7b917492224b095578613ae0f8345d249dda2551797db27057463ca2dcf88ff071216dbfb2d", "010001", "615af2012a89d5aee5fb4445274f73ebbce2bc7e2ec5fe5f3a045c8dd3a53788fc31ffd00fe4c03eeb09c2c19168de530708a755416e9f6eef194a552f46ceea", "8e054d763a8c226e5627a06c106f3312cd823fa907fa615a680f8f34a8f664eb962fc89565d93c6d92186cd713abccf666088af2931c8569d554f0021d036344"},
    {"d4657ed904cc1a960b78da1fbd96586d65962ae12a36123d6f726d301d37196ed9b1ec52fb726cdea77f00e27965d370149c1d3b3304e0b392fdbeeff151a81d", "8d86bd776defd438fc60f42b4d0ac3a86ed928de5ddcdfb08716505407831a36c4d707f12e209e7eff78e669b37808e5607e4424cc75fcf766439a82c84af261", "bc8ed357bed314895c692e8621ab0cfba751fed6fcec2ffcc1526b1f4953bf309032cdf6b8b3b8eeb880a4d318c40f01940aee7333a52c31e68927b3007cda3c", "d223abfcda4539f6a03b3add192c2913b8857b9fd4d701dab7283c3366a2a29eaa03b36832fb22b7e2f7f9230f8252c04555a0b761d6704c22d48d7cad975b1e"},
    {"82a8dc2903ccb5f9e680b8cd837866e0808d9241b79b373e3808ac4cff55e318cc115b8a31b95bc42863d4ebb4e04dc06bfdfabb9f936854b54b7e939ae6c4bb", "4307c9", "531c2ce00b96024ee57194f7158de95e0deedd7efc96b39627efbbb26befc26f5b094199b849d773ef9c51048370f651d5e08a339e45168b2e28df53e78b9f14", "42bb32e81dd95044e046bc8f5265f46d410ea4b5d1eece44ffa9d682f32f16c4682d84f5ce0483f73c7df6b6207db3b31708acfc14922d11eb1e7a772fdb1041"},
    {"b15d0b3a9e0d4e67364cc10f351781d7e48974d1ec443f5e81bc6f02a0c3b56396193636f8f1dfaca38b2739f85e58479dc94891db2bc3465c04913b5271bf41", "ffffff", "58da414dfda27f1e73ba89ae66fc9a96be13a8033ad6ea66331831a7fd4a9df0e4eec1e9e27cfcb72784a67d6cc36f59babdf5fa91c728907d4cdbce2673ee45", "5976644dac06e64a9cb74dc19036ca6d71489ebe9c3383a11599c0b645429675b78d155e0b3a8fd6c8447ecf48aff29ccb9a1cca1de908eda0fb17b3e7742d64"},
    {"acb64dbd2da5db82526dd57649103563b4d57c638e844d8d72043fb5749c2ba5620adacbe6ea7bb82e2c16323acd6ad0c187280a5afebb3d0ef84fa8d8be496f", "02", "379f7b2bbb9fe455a8dd6048754b5ae29730864978812a1ee9d4b6363da222c2752611368ddc87a2507b5ce472a66b962723b7cfeb5aa6ccceb2ba24edf16099", "a9294941c3fb7d1f026cc4c73967abb8425a5f8d1faaf6b0a0e37d98e912de0905b68b5895bd92975a78fc14ab7ea689a6c7faba802357d341f9abf99c323171"},
    {"8fbf94a87a1473d85ee395bd8bab89934993daa96429bd925391f98e3b8ac2b9ab108643fa1d0a033230a57c75a855c7b86d454aa4c61dc144e20eb28881d949", "010001", "8fbf94a87a1473d85ee395bd8bab89934993daa96429bd925391f98e3b8ac2b9ab108643fa1d0a033230a57c75a855c7b86d454aa4c61dc144e20eb28881d948", "8fbf94a87a1473d85ee395bd8bab89934993daa96429bd925391f98e3b8ac2b9ab108643fa1d0a033230a57c75a855c7b86d454aa4c61dc144e20eb28881d948"},
};

struct ShortRsaVector {
    uint16_t bits;
    const char* modulus;  // 64 bytes, leading zero bits
    const char* input;
    const char* output;   // exponent 65537
};

const ShortRsaVector ShortModulusVectors[] = {
    {505, "01e7f1984c8295ab78c855df85c80bdb1005ab2c0065ebd6a46254d79f4c2ac611c2ffbcf11f50a13fdf30463745f8482a48b3a07521d454b888a5b48fd491d9", "00ab17f69e204dbf8e7b999a4e9d950449d97b3a609b371eb82ad99878b7d51c5c188c28770c017d298ed423ae2337473a17fb5b31079c2199b7e662acd886ac", "0033e14aa9e7b278490e8764107d424cdd1297b69cf011c6f463ac3af1d5a292776f547da1f059aff6c7985ec22f19be3907a563677dd13391d4dcb8872c5438"},
    {508, "0eb1ae2bd21e2b4737de555830a05df0a14913cf2fa0d8b9b56200153fd51ef2a7e23c8d4cc5dd1865a3a12c27e8e4c241ddef72cde3dc242cc560aeead472e3", "01a9ea5976f161640c09639ea9a1e4138a284e8bea8b8a7289106f6f3123c0329d9c253d84002a02f6ab1b42a04a57b04f21892b15ac12b653c39816c86fb05f", "0932501659c788e3a0d7005bdff760b11ad57d50c0c07560911cb2d82ca1b1da460594dad0b099daf5190aad38a31420b8f5bc72d71adacce082aa7135860197"},
    {511, "462d21b508e64a6434a4240931e77a02959004ef9aef9381299643b955b1d0a71436dd0f91aa9b01ac0ca83a96a24335dc2f1f683be49d282d63a7b8c79925b9", "301202f6eaafebc476354332a6cee29a81c020b67772a7d9af09197245e852c9e67fdaa61427b7751ae532fb35d13ccdb55a09fbfb45a732be98e705891bc75f", "155a59d65c5e0c03b1b25b2944a6a9205f91dfe5b90a3233bf0da2d6a532212c65416b4b39bec6ee0d3147dc110be1b064ee62e8182c1f8e56d6753babaea41a"},
};

const char Modulus1024[] =
    "c2350a7b02bb3080730eaea68ff4eb51538515d06156ea0d2efb1ecb41f28b1c5e649f6d36cdf99b697ee2155bfab9ba16af8d367207922b2ffdb1c6229a9a67914bef61aaefcd2dce8555f624bc29b1ef965c162c3c63ecb28230025b910d827278c3120cde690a94f49932740e47773a8f002fabfd67bc2954c9047d8e1073";
const char Input1024[] = "5d0c7b3fde6a8358422baef3e1f1083cb224a82ffc7cd0c49faff744fcc595a9ea8659323a42cee222998447b09a8d46f219688132acbf7704e1b082666f0732";
const char Output1024[] = "7670d4ce4413be02d0d50011385b99c78f5e3a633f2ce075b628da4e885e3078021b1adbcba27c753676b1c1c4bb3425cb9d20cfb964332d5b02df0946ba2e81444976a3007b0c263daca2b63bdbd9cef9d73a1b458369e145db17564678530a3cc3c764cf701c68cadaeca706f1c8474e124f753a5cc4c6687f923a26a5266f";

const char Exponent65537[] = "010001";
const std::string Zero64(128, '0');
const std::string One64 = std::string(126, '0') + "01";

} // namespace

TEST(RsaPublicBlock, MatchesIndependentPowerForFullLengthModuli)
{
    for (const RsaVector& v : Rsa512Vectors) {
        SCOPED_TRACE(v.exponent);
        const BlockResult r = Seal(MakeKey(512, v.modulus, v.exponent), v.input);
        ASSERT_EQ(r.result, 0);
        EXPECT_EQ(r.length, 64u);
        EXPECT_EQ(r.output, v.output);
    }
}

TEST(RsaPublicBlock, AcceptsModuliFrom505BitsAndPadsShortResults)
{
    for (const ShortRsaVector& v : ShortModulusVectors) {
        SCOPED_TRACE(v.bits);
        const BlockResult r = Seal(MakeKey(v.bits, v.modulus, Exponent65537), v.input);
        ASSERT_EQ(r.result, 0);
        EXPECT_EQ(r.length, 64u);
        EXPECT_EQ(r.output, v.output);
    }
    // A result with leading zero bytes still fills all 64 bytes.
    const BlockResult one = Seal(MakeKey(512, Rsa512Vectors[0].modulus, Exponent65537), One64);
    ASSERT_EQ(one.result, 0);
    EXPECT_EQ(one.length, 64u);
    EXPECT_EQ(one.output, One64);
}

TEST(RsaPublicBlock, RefusesModuliShorterThanTheBlock)
{
    const char* modulus = Rsa512Vectors[0].modulus;
    for (uint16_t bits : {0, 8, 500, 504}) {
        SCOPED_TRACE(bits);
        const BlockResult r = Seal(MakeKey(bits, modulus, Exponent65537), One64);
        EXPECT_EQ(r.result, RsaBadLength);
        EXPECT_EQ(r.length, 0xddddu) << "length written on failure";
    }
    for (uint16_t bits : {505, 511, 512}) {
        SCOPED_TRACE(bits);
        EXPECT_EQ(Seal(MakeKey(bits, modulus, Exponent65537), One64).result, 0);
    }
}

TEST(RsaPublicBlock, RefusesModuliLongerThanTheRecordHolds)
{
    // 1025 bits would need a 129-byte output that no modulus field can produce.
    const BlockResult r = Seal(MakeKey(1025, Modulus1024, Exponent65537), One64);
    EXPECT_EQ(r.result, RsaBadLength);
    EXPECT_EQ(r.length, 0xddddu);
}

TEST(RsaPublicBlock, HandlesA1024BitModulus)
{
    const BlockResult r = Seal(MakeKey(1024, Modulus1024, Exponent65537), Input1024);
    ASSERT_EQ(r.result, 0);
    EXPECT_EQ(r.length, 128u);
    EXPECT_EQ(r.output, Output1024);
}

TEST(RsaPublicBlock, RefusesBlocksNotBelowTheModulus)
{
    const std::string modulus = Rsa512Vectors[0].modulus;
    std::vector<uint8_t> above = FromHex(modulus);
    above.back() += 1;  // the modulus is odd: no carry
    const std::string allOnes(128, 'f');

    struct Case {
        const char* name;
        RsaPublicKey key;
        std::string input;
    };
    const Case cases[] = {
        {"equal to the modulus", MakeKey(512, modulus, Exponent65537), modulus},
        {"modulus plus one", MakeKey(512, modulus, Exponent65537), ToHex(above)},
        {"all ones", MakeKey(512, modulus, Exponent65537), allOnes},
        {"zero modulus, zero input", MakeKey(512, "00", Exponent65537), Zero64},
        {"zero modulus, one", MakeKey(512, "00", Exponent65537), One64},
        // bits claims 512 but the modulus is one digit: the block's upper
        // digits must count, not only the modulus's digit count.
        {"modulus shorter than bits says", MakeKey(512, "fffffffb", Exponent65537), "0001" + std::string(124, '0')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const BlockResult r = Seal(c.key, c.input);
        EXPECT_EQ(r.result, RsaBlockTooLarge);
        EXPECT_EQ(r.length, 0xddddu);
    }
}

TEST(RsaPublicBlock, ZeroAndOneAreFixedPointsAndExponentZeroGivesOne)
{
    const RsaPublicKey key = MakeKey(512, Rsa512Vectors[2].modulus, Exponent65537);
    EXPECT_EQ(Seal(key, Zero64).output, Zero64);
    EXPECT_EQ(Seal(key, One64).output, One64);

    const RsaPublicKey zeroExponent = MakeKey(512, Rsa512Vectors[2].modulus, "00");
    for (const std::string& input : {std::string(Rsa512Vectors[2].input), One64, Zero64})
        EXPECT_EQ(Seal(zeroExponent, input).output, One64) << input;
}
