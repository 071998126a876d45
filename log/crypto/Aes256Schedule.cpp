#include "log/crypto/Aes256Schedule.h"

#include "log/crypto/Aes256Paths.h"
#include "log/crypto/AesTables.h"
#include "log/crypto/WipeSecret.h"

#include <intrin.h>

#include <atomic>

namespace {

alignas(64) constexpr AesRoundTables EncryptTables = MakeAesRoundTables(AesDirection::Encrypt);

inline uint32_t SubWord(uint32_t w)
{
    const uint8_t* s = EncryptTables.sbox;
    return static_cast<uint32_t>(s[w >> 24]) << 24 | static_cast<uint32_t>(s[(w >> 16) & 0xff]) << 16 |
           static_cast<uint32_t>(s[(w >> 8) & 0xff]) << 8 | s[w & 0xff];
}

bool DetectAesNi()
{
    int info[4] = {};
    __cpuid(info, 0);
    if (info[0] < 1)
        return false;
    __cpuid(info, 1);
    return (info[2] & (1 << 25)) != 0;
}

} // namespace

// 0 until the first query, then 1 (absent) or 2 (present). Threads that race
// on the first query all get the same answer from cpuid, so no lock is needed,
// and none is taken on the record-encryption path.
namespace {
std::atomic<int> AesNiState{0};
} // namespace

bool AesNiAvailable()
{
    int state = AesNiState.load(std::memory_order_relaxed);
    if (state == 0) {
        state = DetectAesNi() ? 2 : 1;
        AesNiState.store(state, std::memory_order_relaxed);
    }
    return state == 2;
}

void Aes256ExpandKey(Aes256Schedule* schedule, const uint8_t key[Aes256KeyLength])
{
    uint32_t w[4 * (Aes256Rounds + 1)];
    for (int i = 0; i < 8; ++i)
        w[i] = AesLoadBigEndian(key + 4 * i);
    uint32_t rcon = 0x01000000;
    for (int i = 8; i < 4 * (static_cast<int>(Aes256Rounds) + 1); ++i) {
        uint32_t temp = w[i - 1];
        if (i % 8 == 0) {
            temp = SubWord((temp << 8) | (temp >> 24)) ^ rcon;
            rcon = static_cast<uint32_t>(AesXTime(static_cast<uint8_t>(rcon >> 24))) << 24;
        } else if (i % 8 == 4) {
            temp = SubWord(temp);
        }
        w[i] = w[i - 8] ^ temp;
    }
    for (uint32_t i = 0; i < 4 * (Aes256Rounds + 1); ++i)
        AesStoreBigEndian(&schedule->roundKeys[i / 4][4 * (i % 4)], w[i]);
    WipeSecret(w, sizeof(w));
}

void Aes256EncryptBlocksPortable(const Aes256Schedule* schedule, const uint8_t* input, uint8_t* output,
                                 size_t blockCount)
{
    // The tables work on big-endian words: convert the round keys once per
    // call rather than once per block.
    uint32_t words[4 * (Aes256Rounds + 1)];
    for (uint32_t i = 0; i < 4 * (Aes256Rounds + 1); ++i)
        words[i] = AesLoadBigEndian(&schedule->roundKeys[i / 4][4 * (i % 4)]);
    AesTableBlocks<AesDirection::Encrypt>(EncryptTables, words, Aes256Rounds, input, output, blockCount);
    WipeSecret(words, sizeof(words));
}

void Aes256EncryptBlocks(const Aes256Schedule* schedule, const uint8_t* input, uint8_t* output, size_t blockCount)
{
    if (AesNiAvailable())
        Aes256EncryptBlocksNi(schedule, input, output, blockCount);
    else
        Aes256EncryptBlocksPortable(schedule, input, output, blockCount);
}

void Aes256EncryptBlocks(const Aes256Schedule* schedule, uint8_t* data, size_t blockCount)
{
    Aes256EncryptBlocks(schedule, data, data, blockCount);
}

void Aes256WipeSchedule(Aes256Schedule* schedule)
{
    WipeSecret(schedule, sizeof(*schedule));
}
