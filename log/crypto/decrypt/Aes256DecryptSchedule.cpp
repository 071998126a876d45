#include "log/crypto/decrypt/Aes256DecryptSchedule.h"

#include "log/crypto/AesTables.h"
#include "log/crypto/WipeSecret.h"

namespace {

alignas(64) constexpr AesRoundTables DecryptTables = MakeAesRoundTables(AesDirection::Decrypt);
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
    AesTableBlocks<AesDirection::Decrypt>(DecryptTables, schedule->roundWords, Aes256Rounds, input, output,
                                          blockCount);
}
