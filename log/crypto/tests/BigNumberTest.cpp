#include "log/crypto/BigNumber.h"

#include "HexData.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace {

struct DivModVector {
    const char* dividend;
    const char* divisor;
    const char* quotient;
    const char* remainder;
};

// Made once with Python's divmod(); shapes include a divisor whose top digit
// is all ones, a one-digit divisor, a dividend shorter than the divisor and a
// full 66-digit dividend.
const DivModVector DivModVectors[] = {
    {"a7ae6b1ff4bdb52a", "9a23b247c9cf23f5", "01", "0d8ab8d82aee9135"},
    {"a4919a8d2502f9cab37bc348ee6e708c", "d4296609a57d26a5", "c692b505179ac4ff", "0c9586fe32ec9e31"},
    {"d1ceb11b9097af98119b73968414d2647f065e28e21576139a4ca564d74f811c2c", "a2acd453e057829c89692083897b5a9b25c74c20fd6ac13ea4397a6af9b424d4", "014a", "1be7677166e13a4879efacf4dbcf98805376065b69d8f8da9a8d96f16d49a2e4"},
    {"a807116a64654f40a353d1c1f16eae78d06d540dd8391032ac4d2b1560e09f0abd7447ddddb06ce10300eb40b496033983d02e42aa30b1df1f481b3e5c8de2b43848e7e807467bcc19d9d27f2b4d6d7e92ec259c1b8bf967f3aaa15c9e9178d2cb6bb088ee4121541818e847a252ff80d5c9a593a83ac7780ddc7528a7840a6540732ecfa60e07d44a8199f29f2e3ed4478ef375f9b2f089b8f8d5e1cc2bb516a34e49c0d10a688dfc945a7020b5bf1d66b2f43c43f6bc7b7cd0064cfbad5b25a5e8902779910cd7cd3a315f9ce5a178a44eb6189815a65add4674b96088819c3d10c058343c5f9c35d1bf4b204bbf246fa1a19c67a0279b33375bc2aa7956c802eaa72f3a041f1f", "95b605b64183557e94c785440eb0fa4bdae96f2ded500b7816c56af6263565e79fd51321d4206b01dc51d9d861de3e4052bb82da7ddd036b5217cd7d00ab93812e145139a6585a7da5dd98a3aaf578c27f9f48f4c8fd64ceaa4bbd2eb3934778830b3f0bd1bf002bd917ac9ec26a48bedd7dcaad151dc8b2dced7f612943612e102ae1b9", "011f5215bae84cff589106ad60edc6472a1f7edfde2f0f2dc29823946f9182b86efa3627cbff132c954c9f0dc00f018268e20ee6ebcbde9496ce03f0fe0d5257669d39d12042b492d5a8d82b33ec8d29161be54f3dfd60b2d6afb5e1b087ae32074b38f83d42443b643699289ca7e391fa59f3417757a37354004c88e196d1b958f1356966", "35a849e8385e2ad2c537d0f5e7cea27b1e9ef32715f3181afb1a9eb3a89ee612889fb04dcfe02fb74c0af342416a3140a638e0c4cba096e066f99d47bb6be96f8f2cdc808731602bd9e109b5f25a9fa1ccbd6a8b94138985502c027b25ca9569a248db1a52b8993c766ee85ffbfcaf6bbe390f80110ab01e2ea51253398f0a3b4e0c4e69"},
    {"e9e6bf2484ab4b5347f6ef948e627e4ff01878ec3661c651f93bdca12b95927e980e1a172067792064db7357a6583d3bb66cf1cf0d477f538917188fb35c6d6f25efad452d71f246a61890e8a40a238b08bc8c3dbdb61f7d266d7b728df6afdd8f4b5b5add78b0f0534f8e92dba310f92c32131fb299334d9c00bd31777b25100b0314897adac0211f27e4806116e90cd45e39679dc8441620ef659120257606cb088d234939ce3e658e8fd2f844e7e4bbb7868a1353e17fa9c6478e4f6ce23cd417ddf4f38e65d0cb6ffaab27a34e86152ae2e3c60dfe39c867ac75cfa8f74e548644f4aff9311be764755aa0dac63c902ce4553e0799a1ddb8f5248dd5b6a6", "9e7016d8a1021c1209f365972c0e8b255473b744ea9f13da09adb2a4d0606ef3bac572560e6a463ab313b8a69746a8a07304d38962ea0fa4a76ae3e726ac0e05cb0dc8a9bb1ad88dc96fb50c6bd9f301e5de06415ec52604e7077939bc0eb0ac47d050ac9f67dce206eafee45a2617dab99868b5914d30d9ab8ee22755b97a8f", "0179ee9d32ec522a0599c09b585cd72d5bdafdbda2f34d5f7f8af91e64825396b0517ece21d0322ebb23b7d6b576baad1f5fd00d77466deb7e87ad2b9ad8cf92b47107fb2534910b845f755a4e3fbcffec7808e85742375104bf5f133dd9fdb3d9a4aac7c70b53cb53525bdd2aec7837caa66e7adecaee73d4401ba85435a27ee3", "2c04267cc63ebb7168ae6d198d2a5bba447121544a854efd607452829d68a1fdc9177c366a6b38446b72a4671cffc3aa91466c79710751f40bdb0b24405fb22497f97771b894f36ac6bc3d5b0be2e36278fad7b733824ecbc04bdfc0eca0fa063c80cb6050f15f492936b64ab8cef5f38e74a00198ccd727a2b45b67168da7d9"},
    {"b47046c19b2c944bdb0ef0171597d9459da60c46053e05813d7351ed789bdbcdfb4e3be20d01f146a2680d9363232a98b34b3e422891a4d4e818106fb7239f0b66476bdaee0f0122ba73b584b3ac2b677ee459b8bd6b5b696694646e789cea3e41ed216ee91ed5d4861df978c41e9fc68b1025d94abc519eaf44caf03f8c9154", "86691651e9dd6faad5b5ece31884bd092d14c859e61b02a452947e3c582e77f63ef59f2e5c46dddc8147b88269cd7f70dd44ecea07fd14e523bbef6f96db982c", "0157aa6ac8f9af43260d9660e5516331bf6e240514daeb45314fe3bd01bf1f9b00af07ac79f45b91bec45349d513965b67c7c2b11721fdc407b88a1e47a19c8c77", "554d942ab8ea9a36f823005ceeb83ed50fcceafacb4afb81fde4ced4233c4d59c37a2e6a06320433ce2f47b07fb8090fd3828a0bcfccd6e0fba312d8a170c4e0"},
    {"cf13f6e52753ee6da243b5fb47b0b95e5f57d1972551386def407a845bd966d760441c1ea2f819816c5bc4bd43af50c7c2c3f2665a0b675118558dd381e272c687", "01626c8174", "95927d708decd60d81b9fc67a030218bd8aed07a2825cb236f3bc4d75aeb44d67a91739164267c5407d302ad064fbafb8bc8ac585bd61630a0466bfb8b", "013b1fc08b"},
    {"de8196dfc2446838", "8f69c07a", "018d2f778b", "32fa2ffa"},
    {"d0d9ed37", "93df7cc00d1b8663", "00", "d0d9ed37"},
    {"0f15ce23b277ace556935d698a27819068e200e4a525af139313ffd8634e7e41c29d0b5f11bddce368a88267d4fa02f91ae68732b8ec2ce071773648a58d032013a6502c19fc47eba5eae73d518d1885e77f54da26464de9", "0ac44c1d1672fdc40d3877f0ae98bcc26d76f4078c2ee1898c3b9b57fb09ee800196e58297c9", "0166ad77f5c255044ff1624a932f6fc627e3cb641d20b9afe28f709d46c72dbad934e05ae3623490dfee2eb81aca16351cbb07", "3fefbf9de60e38b5097ed0bfbab6cc44bbf2cbb548ee13f3e63d18df29cf69471843d8546a"},
    {"f44fc2be8bc92d6509ac92f0c6cf34b464c1e37a3e919fce7a73a548181f14f394f1380578a0d2a952633fe8a4f824e26fe84d350da82f7dfb441bb94c8376032316eb1aa50b6e7fd410b63ab28bc3a529cdb1805e03d2fe5c4c95a9125cadf04f9e6fdfed2202afb0fc0aab5a09bc8bc88f42b51c1f13fe1b7a76111b9a21c47f60eee4", "ed8c18483ca9f34ef0867170406d0a83b302e149c0b4849cf0255f935dbc1cc78ade2573dc301db6a63d2d39458eeb2cc5126cf16e127084d1ab15ce85ee401f8ab2fdce748637079829e30104a9ecc973846dab53814fe13ee489cc51b8805f1e74062e38bb55c83347bb178802ce82f63c1ae60348a024d3ba8bfa035fb3af11813305", "01", "06c3aa764f1f3a161926218086622a30b1bf02307ddd1b318a4e45b4ba62f82c0a1312919c70b4f2ac2612af5f6939b5aad5e0439f95bef9299905eac69535e39863ed4c308537783be6d339ade1d6dbb64943d50a82831d1d680bdcc0a42d91312a69b1b466ace77db44f93d206ee08d25327cf18d673d947bfea17183a6e156ddfbbdf"},
    {"c193884136d16cabb26088d3", "cbd4216c08f4fcffe4159e21", "00", "c193884136d16cabb26088d3"},
    {"ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff", "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff", "0100000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000001", "00"},
    {"ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff", "ffffffff16784426fd92380c43fdab38bd7a56fd8e7e30f550a3505561184307c9f52d05a49e5455e0465f82a593ffe52ac9d732f8d400ae0a50cd240a44e5793aad749b19376f37e8d266d214ab9ec3638df6e10a111e1c6a786d521b6494cf581995a969453208b8ca41e154ab8689f365d21ce0f1812d6cf065267b05d491", "0100000000e987bbd9d77623dd2d7b0b6cf3b3b7332bba551fce58e27c8a3c49fe3600767a8165832f5ea05e00b58d0413480de4eb2e6c98bc2e7498ebff92b239d36f4e7e4c92fd0c64ca744de118f670a2364f7297e1c14add5c115c249f0b346251014e45f28ead527cb0caca4dbec52312db101bd658cf65fda6cd1f89c684d2d5d328d2cd4222", "e956b3c26e0bcd262ae69a539256f793d73efc912530aa6469b1b1e37f1669e4e8a294a54631020ced2a966a66640bf6261f7d37889f31d77baec3138d7f6aa2e2bfba5247a4a81be9d9f62a6f2ee686d730d70bb30d6a7e181c26a499c044ebf9454491dc8a74acb6b16244092b862d10cf3df80301480127819f79fe4f62bd"},
    {"7abb29c1e437fc2c81e5504a80b72bf279d93d2ea03d1dd8420ab514c17fe575d7eca47a7702396832052ad16636d831b13b6bfc041f8f62381cc9e402943877ad99e0b5fd518b4766bad5d7a3e82fc80123645e5e3a75e8eabfdf0dc18c1e5607eace797c912f6dc0011435929a266cdf6e053cf317225a752dbd1d18", "ffffffff", "7abb29c25ef325eee0d87639618fa22bdb68df5a7ba5fd32bdb0b2477f3097bd571d3c37ce1f75a00024a071665b78a31796e49f1bb6740153d33de55667765d040157130152e25a680db8320bf5e7fa0d194c586b53c2415613a14f179fbfa51f8a8e1e9c1bbd8c5c1cd1c1eeb6f82ece24fd6bc13c1fc636", "69dce34e"},
    {"996f932cd403d24139ce1cb2b1e3648fe4f423de47c363c13447d212b501248f9ad67dddd2ae0a3f198ba52a66642781491435ff4d9135d4d1ad9d7e0d11d73285ff5eecbedbd236b109b77cfa83a62f8d3030a1fa89126c3d00e6a6ca53ff6ecb68cc381f23afaaf214d3baf5729af38d46ad5339a1eed2d485441fe9d81380f4054ec76c5fcc1e100b6fcbf5019f00f1dde3e26f53858f1c71eccc4134df2361ce093909a68488ac5fcdf3cd179879bb2cbe0959a7cec9a560a7192ef22e6d9fc9b8a20ce4747827e0f88df620b16bc2ea5e8dc214a2be94070a3f3373a19e9b0a65b320a5ab7d20b933e5e6a293523c28f588b83b09d3df44", "100000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000", "0996f932cd403d24139ce1cb2b1e3648fe4f423de47c363c13447d212b501248f9ad67dddd2ae0a3f198ba52a66642781491435ff4d9135d4d1ad9d7e0d11d73285ff5eecbedbd236b109b77cfa83a62f8d3030a1fa89126c3d00e6a6ca53ff6ecb68cc381f23afaaf214d3baf5729af38d46ad5339a1eed2d485441fe9d81380f4054ec76c5fcc1e100b6fcbf5019f00f1dde3e26f53858f1c71eccc4134df2361ce093909a68488ac5fcdf3cd179879bb2cbe0959a7cec9a560a71", "092ef22e6d9fc9b8a20ce4747827e0f88df620b16bc2ea5e8dc214a2be94070a3f3373a19e9b0a65b320a5ab7d20b933e5e6a293523c28f588b83b09d3df44"},
    {"de2df58bcef2e882762f36e1ee402f61b7aff4ea60588637bc5781b9029c8e8cb11aec08e1375e1a9dff7372c01c6dcb86a89fe80b246407671fdab156c39c9c", "03", "4a0f51d944fba2d62765124b4f6aba75e7e551a37572d767e972809300deda2ee5b3a402f5bd1f5e34aa7bd0eab424992ce2dff803b6cc0277b548e5c7968989", "01"},
    {"800000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000", "7fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff", "01", "01"},
};

struct MulVector {
    const char* b;
    const char* c;
    const char* product;
};

// Made once with Python.
const MulVector MulVectors[] = {
    {"a09f76b5a170b33839263059f28c105d1fb17c2390c192cfd3ac94af0f21ddb66cad4a268d116ece1738f7d93d9c172411e20b8f6b0d549b6f03675a1600a35a099950d836f675cc81e74ef5e8e25d940ed904759531985d5d9dc9f81818e811892f902bd23f0824128b2f330c5c7fd0a6a3a4506513270e269e0d37f2a74de452e6b438", "b64ce4228c38fb2918f135d25f557203301850c5a38fd547923a736994e3bf911a61dbe22e44158bae97ba94d0eda82f8f6d05584ef8aa38922766581e27a1c08a6a63ec24ede6a46b4cb2424a23d5962217beaddbc496cb8e81973e0becd7b03898d190f9ebdacc0cb1e29c658cda1495e60af593bd04cf0fd630f1f29d0da9953f48f1", "72619ce011948a2a6c815422ffeba4dcf7292e9d4f45de2e3538526a6f241e1881e6c4388d5347f4aa90e162dffc3224ad4820d8da8742822f3eb0cccfc7d04d4c9d54bb2e0bcdfd4f68975202973393241ffee9971ae9dec7c9a75b8e3f7a0aba6bf98fb979350513cdc466abd725d521be727288a1fae30219d32d52274a838f05ec64168b3e4a81ec1c3338c88ac03dba64f33af2aa5fe0a0320cf7833db3ab027c5283182bba1fb7ea5a851d6e56419ac6094811c2dab60175f3d03edeb24c2e2e8f0971e4db9e4962e38ce0ae87e08b5cf2e8e3f9f05369c79c7c4c7afc243a84a620d71141413db1e71e765455a857a418c4c262310b36557326185fee74a509e5dfa768b8"},
    {"ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff", "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff", "fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffe000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000001"},
    {"5c90a9587403e430ec66a78795e761d17731af10506bf2efc6f877186d76b07e881ed162ae2eb1547f15052434b9b5df9e7769b10f4205b4907a70c31012f037", "3f4cbd87ad", "16e35926e6acc40c9c9f873d9db74326170e346513a1611d42c74c95c49a73d964edb12b7cfc4ca2739c59b9127c00626738ef48cb68ee10927ff4d71651a6ac208614562b"},
    {"ffffffff", "ffffffff", "fffffffe00000001"},
};

struct ModExpVector {
    const char* base;
    const char* exponent;
    const char* modulus;
    const char* result;
};

// Made once with Python's pow(): a full 33-digit even modulus with a 300-bit
// exponent, a square, and an exponent of one.
const ModExpVector ModExpVectors[] = {
    {"d2ae658f33fe3b890b93f448b3a5aa3c814f426dcbb394fb36bb2d420f0f88080b10a3d6b2aa05e11ab2715945795e8229451abd81f1d69ed617f5e837d70820fe119a72d174c9df6acc011cdd9474031b7f26144b98289fcd59a54a7bb1fee08f571242425051c1ccd17f9acae01f5057ca02135e92b1d3f28ede0d7a", "0763f0ce583505c6af0758d5563dab2cd31ee315128862c33a4fb774eb5248db40af72158370", "c3baea9e13deef86ab1031d0f646e1f40a097c976bf46c697d2caf82eeeacbe226e875555790f82ec1d3fcff2a3af4d46b0a18e8830e07bc1e398f1012bd4acefaecbd389be4bcfc49b64a0872e6cc3ababced2057ee05cde00902c77ebff206867347214cdd2055930d6eaf14f4733f3e7d1bfbc7a2ea20b2f14c942e05319acb5c7427", "22ef252e517d2796232fd5f41eb0a3dc35d58dab8e2ea556fc83e8ef97f2963cf2423c387d5505661a1761d6f64ae824edd6322fea95f4d3e9f6cfbe4c2eb5f9a08d6be3a6c851270f01fbe92af655ada0934d5b8562e1b39ccd94ca6ebbdc737a8698cc42e41980a39311c6bcd60cafd9311e86c51f059930082f50139050dbc2d31400"},
    {"0efcfebc9c653938", "02", "ab0537e65affb229", "516d0ea0b4c302c6"},
    {"05", "01", "0f4243", "05"},
};

} // namespace

TEST(BigNumber, DivModMatchesIndependentDivision)
{
    for (const DivModVector& v : DivModVectors) {
        SCOPED_TRACE(v.dividend);
        // One spare leading zero digit on each side: counts above the
        // significant digits must not change the result.
        const uint32_t cDigits = DigitCountForHex(v.dividend) < BigMaxProductDigits ? DigitCountForHex(v.dividend) + 1
                                                                                     : BigMaxProductDigits;
        const uint32_t dDigits = DigitCountForHex(v.divisor) < BigMaxDigits ? DigitCountForHex(v.divisor) + 1
                                                                             : BigMaxDigits;
        const std::vector<BigDigit> c = DigitsFromHex(v.dividend, cDigits);
        const std::vector<BigDigit> d = DigitsFromHex(v.divisor, dDigits);
        std::vector<BigDigit> q(cDigits, 0xdeadbeef), r(dDigits, 0xdeadbeef);
        BigDivMod(q.data(), r.data(), c.data(), cDigits, d.data(), dDigits);
        EXPECT_EQ(HexFromDigits(q.data(), cDigits), v.quotient);
        EXPECT_EQ(HexFromDigits(r.data(), dDigits), v.remainder);

        std::vector<BigDigit> m(dDigits, 0xdeadbeef);
        BigMod(m.data(), c.data(), cDigits, d.data(), dDigits);
        EXPECT_EQ(HexFromDigits(m.data(), dDigits), v.remainder);
    }
}

TEST(BigNumber, DivModMayWriteItsResultsOverTheDividend)
{
    const DivModVector& v = DivModVectors[4];
    const uint32_t cDigits = DigitCountForHex(v.dividend);
    const uint32_t dDigits = DigitCountForHex(v.divisor);
    std::vector<BigDigit> c = DigitsFromHex(v.dividend, cDigits);
    const std::vector<BigDigit> d = DigitsFromHex(v.divisor, dDigits);
    std::vector<BigDigit> q(cDigits);
    BigDivMod(q.data(), c.data(), c.data(), cDigits, d.data(), dDigits);
    EXPECT_EQ(HexFromDigits(c.data(), dDigits), v.remainder);
    EXPECT_EQ(HexFromDigits(q.data(), cDigits), v.quotient);

    c = DigitsFromHex(v.dividend, cDigits);
    std::vector<BigDigit> r(dDigits);
    BigDivMod(c.data(), r.data(), c.data(), cDigits, d.data(), dDigits);
    EXPECT_EQ(HexFromDigits(c.data(), cDigits), v.quotient);
    EXPECT_EQ(HexFromDigits(r.data(), dDigits), v.remainder);
}

TEST(BigNumber, DivModByZeroLeavesQuotientAndRemainderUntouched)
{
    const BigDigit c[4] = {1, 2, 3, 4};
    const BigDigit zero[2] = {0, 0};
    BigDigit q[4] = {7, 7, 7, 7};
    BigDigit r[2] = {9, 9};
    BigDivMod(q, r, c, 4, zero, 2);
    EXPECT_EQ(q[0], 7u);
    EXPECT_EQ(q[3], 7u);
    EXPECT_EQ(r[0], 9u);
    EXPECT_EQ(r[1], 9u);
}

TEST(BigNumber, MulMatchesIndependentProduct)
{
    for (const MulVector& v : MulVectors) {
        SCOPED_TRACE(v.b);
        const uint32_t digits = std::max(DigitCountForHex(v.b), DigitCountForHex(v.c));
        std::vector<BigDigit> b = DigitsFromHex(v.b, digits);
        const std::vector<BigDigit> c = DigitsFromHex(v.c, digits);
        std::vector<BigDigit> a(2 * digits, 0xdeadbeef);
        BigMul(a.data(), b.data(), c.data(), digits);
        EXPECT_EQ(HexFromDigits(a.data(), 2 * digits), v.product);

        // The product may be written over a factor (with room for its length).
        b.resize(2 * digits);
        BigMul(b.data(), b.data(), c.data(), digits);
        EXPECT_EQ(HexFromDigits(b.data(), 2 * digits), v.product);
    }
}

TEST(BigNumber, ModExpMatchesIndependentPower)
{
    for (const ModExpVector& v : ModExpVectors) {
        SCOPED_TRACE(v.modulus);
        const uint32_t dDigits = DigitCountForHex(v.modulus);
        const uint32_t eDigits = DigitCountForHex(v.exponent) + 1;
        const std::vector<BigDigit> b = DigitsFromHex(v.base, dDigits);
        const std::vector<BigDigit> e = DigitsFromHex(v.exponent, eDigits);
        const std::vector<BigDigit> d = DigitsFromHex(v.modulus, dDigits);
        std::vector<BigDigit> a(dDigits, 0xdeadbeef);
        BigModExp(a.data(), b.data(), e.data(), eDigits, d.data(), dDigits);
        EXPECT_EQ(HexFromDigits(a.data(), dDigits), v.result);
    }
}

TEST(BigNumber, EncodeWritesExactlyTheRequestedLength)
{
    const BigDigit n[2] = {0x11223344, 0x55};
    struct Case {
        size_t length;
        const char* expected;
    };
    const Case cases[] = {
        {0, ""},
        {3, "223344"},           // digits that do not fit are dropped
        {5, "5511223344"},
        {9, "000000005511223344"},  // leading bytes past the number are 0
    };
    for (const Case& c : cases) {
        uint8_t out[16];
        std::memset(out, 0xcc, sizeof(out));
        BigEncode(out, c.length, n, 2);
        EXPECT_EQ(ToHex(out, c.length), c.expected);
        EXPECT_EQ(out[c.length], 0xcc) << "wrote past the requested length " << c.length;
    }
}

TEST(BigNumber, DecodeFillsThirtyThreeDigitsAndIgnoresBytesBeyondThem)
{
    BigDigit n[BigMaxDigits];
    const std::vector<uint8_t> three = FromHex("abcdef");
    std::memset(n, 0xcc, sizeof(n));
    BigDecode(n, three.data(), three.size());
    EXPECT_EQ(n[0], 0xabcdefu);
    for (uint32_t i = 1; i < BigMaxDigits; ++i)
        EXPECT_EQ(n[i], 0u);

    std::vector<uint8_t> long_(4 * BigMaxDigits + 3, 0);
    long_[0] = 0x77;  // beyond 33 digits
    long_[3] = 0x12;  // the top byte of digit 32
    long_.back() = 0x01;
    BigDecode(n, long_.data(), long_.size());
    EXPECT_EQ(n[BigMaxDigits - 1], 0x12000000u);
    EXPECT_EQ(n[0], 1u);

    BigDecode(n, nullptr, 0);
    EXPECT_EQ(BigDigits(n, BigMaxDigits), 0u);
}

TEST(BigNumber, ShiftsReturnTheBitsShiftedOutAndRefuseWholeDigits)
{
    const BigDigit b[2] = {0x80000001, 0xc0000003};
    BigDigit a[2] = {5, 5};
    EXPECT_EQ(BigShiftLeft(a, b, 0, 2), 0u);
    EXPECT_EQ(a[0], b[0]);
    EXPECT_EQ(a[1], b[1]);
    EXPECT_EQ(BigShiftLeft(a, b, 1, 2), 1u);
    EXPECT_EQ(a[0], 0x00000002u);
    EXPECT_EQ(a[1], 0x80000007u);
    EXPECT_EQ(BigShiftLeft(a, b, 31, 2), 0x60000001u);
    EXPECT_EQ(BigShiftRight(a, b, 1, 2), 0x80000000u);
    EXPECT_EQ(a[0], 0xc0000000u);
    EXPECT_EQ(a[1], 0x60000001u);
    EXPECT_EQ(BigShiftRight(a, b, 31, 2), 0x00000002u);

    BigDigit untouched[2] = {5, 5};
    EXPECT_EQ(BigShiftLeft(untouched, b, 32, 2), 0u);
    EXPECT_EQ(BigShiftRight(untouched, b, 40, 2), 0u);
    EXPECT_EQ(untouched[0], 5u);
    EXPECT_EQ(untouched[1], 5u);

    // In place.
    BigDigit x[2] = {0x80000001, 0xc0000003};
    EXPECT_EQ(BigShiftLeft(x, x, 4, 2), 0xcu);
    EXPECT_EQ(x[0], 0x00000010u);
    EXPECT_EQ(x[1], 0x00000038u);
}

TEST(BigNumber, SubAndSubDigitMulReturnTheirBorrow)
{
    const BigDigit one[2] = {1, 0};
    const BigDigit zero[2] = {0, 0};
    BigDigit a[2];
    EXPECT_EQ(BigSub(a, zero, one, 2), 1u);
    EXPECT_EQ(a[0], 0xffffffffu);
    EXPECT_EQ(a[1], 0xffffffffu);
    EXPECT_EQ(BigSub(a, a, a, 2), 0u);  // a may alias both operands
    EXPECT_EQ(BigDigits(a, 2), 0u);

    // 2^64 - 1 - 0xffffffff * (2^64 - 1) = 0xfffffffe - 0xfffffffe * 2^64.
    const BigDigit max[2] = {0xffffffff, 0xffffffff};
    BigDigit b[2] = {0xffffffff, 0xffffffff};
    EXPECT_EQ(BigSubDigitMul(b, b, 0xffffffff, max, 2), 0xfffffffeu);
    EXPECT_EQ(b[0], 0xfffffffeu);
    EXPECT_EQ(b[1], 0x00000000u);
    EXPECT_EQ(BigSubDigitMul(a, one, 0, max, 2), 0u);
    EXPECT_EQ(a[0], 1u);
}

TEST(BigNumber, CompareAndDigitCounts)
{
    const BigDigit small[3] = {0xffffffff, 0, 0};
    const BigDigit large[3] = {0, 1, 0};
    EXPECT_EQ(BigCompare(small, large, 3), -1);
    EXPECT_EQ(BigCompare(large, small, 3), 1);
    EXPECT_EQ(BigCompare(small, small, 3), 0);
    EXPECT_EQ(BigCompare(small, large, 1), 1);  // only the digits asked for
    EXPECT_EQ(BigDigits(small, 3), 1u);
    EXPECT_EQ(BigDigits(large, 3), 2u);

    const struct {
        BigDigit digit;
        uint32_t bits;
    } bitCases[] = {{0, 0}, {1, 1}, {2, 2}, {0xff, 8}, {0x100, 9}, {0x7fffffff, 31}, {0x80000000, 32}, {0xffffffff, 32}};
    for (const auto& c : bitCases)
        EXPECT_EQ(DigitBits(c.digit), c.bits) << c.digit;

    BigDigit high, low;
    DigitMul(&high, &low, 0xffffffff, 0xffffffff);
    EXPECT_EQ(high, 0xfffffffeu);
    EXPECT_EQ(low, 1u);
    DigitMul(&high, &low, 0x10000, 0x10000);
    EXPECT_EQ(high, 1u);
    EXPECT_EQ(low, 0u);
}
