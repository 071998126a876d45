#include "log/crypto/decrypt/Aes256DecryptSchedule.h"

#include "log/crypto/AesTables.h"
#include "log/crypto/WipeSecret.h"

namespace {

alignas(64) constexpr AesRoundTables DecryptTables = MakeAesDecryptTables();
constexpr AesSboxes Sboxes = MakeAesSboxes();

// InvMixColumns of one round-key column: the decryption table of S(x) is the
// inverse mixing of x, since the table itself starts with the inverse S-box.
uint32_t InverseMixColumn(uint32_t w)
{
    const uint32_t(&td)[4][256] = DecryptTables.table;
    const uint8_t* s = Sboxes.forward;
    return td[0][s[w >> 24]] ^ td[1][s[(w >> 16) & 0xff]] ^ td[2][s[(w >> 8) & 0xff]] ^ td[3][s[w & 0xff]];
}

} // namespace

void Aes256ExpandDecryptKey(Aes256DecryptSchedule* schedule, const uint8_t key[Aes256KeyLength])
{
    Aes256Schedule forward;
    Aes256ExpandKey(&forward, key);
    for (uint32_t r = 0; r <= Aes256Rounds; ++r) {
        for (uint32_t j = 0; j < 4; ++j) {
            const uint32_t w = AesLoadBigEndian(&forward.roundKeys[Aes256Rounds - r][4 * j]);
            schedule->roundWords[4 * r + j] = (r == 0 || r == Aes256Rounds) ? w : InverseMixColumn(w);
        }
    }
    Aes256WipeSchedule(&forward);
}

void Aes256DecryptBlocks(const Aes256DecryptSchedule* schedule, const uint8_t* input, uint8_t* output,
                         size_t blockCount)
{
    const uint32_t(&td)[4][256] = DecryptTables.table;
    const uint8_t* inverse = DecryptTables.sbox;
    for (; blockCount > 0; --blockCount, input += 16, output += 16) {
        const uint32_t* rk = schedule->roundWords;
        uint32_t s0 = AesLoadBigEndian(input) ^ rk[0];
        uint32_t s1 = AesLoadBigEndian(input + 4) ^ rk[1];
        uint32_t s2 = AesLoadBigEndian(input + 8) ^ rk[2];
        uint32_t s3 = AesLoadBigEndian(input + 12) ^ rk[3];
        for (uint32_t round = 1; round < Aes256Rounds; ++round) {
            rk += 4;
            const uint32_t t0 = td[0][s0 >> 24] ^ td[1][(s3 >> 16) & 0xff] ^ td[2][(s2 >> 8) & 0xff] ^
                                td[3][s1 & 0xff] ^ rk[0];
            const uint32_t t1 = td[0][s1 >> 24] ^ td[1][(s0 >> 16) & 0xff] ^ td[2][(s3 >> 8) & 0xff] ^
                                td[3][s2 & 0xff] ^ rk[1];
            const uint32_t t2 = td[0][s2 >> 24] ^ td[1][(s1 >> 16) & 0xff] ^ td[2][(s0 >> 8) & 0xff] ^
                                td[3][s3 & 0xff] ^ rk[2];
            const uint32_t t3 = td[0][s3 >> 24] ^ td[1][(s2 >> 16) & 0xff] ^ td[2][(s1 >> 8) & 0xff] ^
                                td[3][s0 & 0xff] ^ rk[3];
            s0 = t0;
            s1 = t1;
            s2 = t2;
            s3 = t3;
        }
        rk += 4;
        const auto last = [inverse](uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
            return static_cast<uint32_t>(inverse[a >> 24]) << 24 |
                   static_cast<uint32_t>(inverse[(b >> 16) & 0xff]) << 16 |
                   static_cast<uint32_t>(inverse[(c >> 8) & 0xff]) << 8 | inverse[d & 0xff];
        };
        AesStoreBigEndian(output, last(s0, s3, s2, s1) ^ rk[0]);
        AesStoreBigEndian(output + 4, last(s1, s0, s3, s2) ^ rk[1]);
        AesStoreBigEndian(output + 8, last(s2, s1, s0, s3) ^ rk[2]);
        AesStoreBigEndian(output + 12, last(s3, s2, s1, s0) ^ rk[3]);
    }
}
