// Internal to log/crypto: the cipher's byte substitution and the round tables
// built from it, computed by the compiler so that no table is typed by hand,
// and the table-driven rounds of both directions.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint8_t AesXTime(uint8_t x)
{
    return static_cast<uint8_t>((x << 1) ^ ((x & 0x80) ? 0x1b : 0));
}

constexpr uint8_t AesGfMul(uint8_t a, uint8_t b)
{
    uint8_t product = 0;
    while (b != 0) {
        if (b & 1)
            product ^= a;
        a = AesXTime(a);
        b >>= 1;
    }
    return product;
}

constexpr uint8_t AesRotateByte(uint8_t x, int n)
{
    return static_cast<uint8_t>((x << n) | (x >> (8 - n)));
}

constexpr uint32_t AesRotateRight(uint32_t x, int n)
{
    return (x >> n) | (x << (32 - n));
}

struct AesSboxes {
    uint8_t forward[256];
    uint8_t inverse[256];
};

// Walks the multiplicative group with generator 3 and its inverse together,
// applying the affine map to each inverse.
constexpr AesSboxes MakeAesSboxes()
{
    AesSboxes s{};
    uint8_t p = 1, q = 1;
    do {
        p = static_cast<uint8_t>(p ^ AesXTime(p));
        q = static_cast<uint8_t>(q ^ (q << 1));
        q = static_cast<uint8_t>(q ^ (q << 2));
        q = static_cast<uint8_t>(q ^ (q << 4));
        if (q & 0x80)
            q ^= 0x09;
        const uint8_t x = static_cast<uint8_t>(q ^ AesRotateByte(q, 1) ^ AesRotateByte(q, 2) ^
                                               AesRotateByte(q, 3) ^ AesRotateByte(q, 4));
        s.forward[p] = static_cast<uint8_t>(x ^ 0x63);
    } while (p != 1);
    s.forward[0] = 0x63;
    for (int i = 0; i < 256; ++i)
        s.inverse[s.forward[i]] = static_cast<uint8_t>(i);
    return s;
}

// Round tables in big-endian word form: table[0][x] is the MixColumns column
// of S(x) in row 0, and table[k] is table[0] rotated right by 8k bits.
struct AesRoundTables {
    uint8_t sbox[256];
    uint32_t table[4][256];
};

enum class AesDirection { Encrypt, Decrypt };

// The tables of one direction: the S-box with the MixColumns coefficients
// 2 1 1 3 (encryption), or the inverse S-box with the InvMixColumns ones
// 14 9 13 11 (the equivalent inverse cipher).
constexpr AesRoundTables MakeAesRoundTables(AesDirection direction)
{
    const AesSboxes s = MakeAesSboxes();
    const bool decrypt = direction == AesDirection::Decrypt;
    const uint8_t mix[4] = {static_cast<uint8_t>(decrypt ? 14 : 2), static_cast<uint8_t>(decrypt ? 9 : 1),
                            static_cast<uint8_t>(decrypt ? 13 : 1), static_cast<uint8_t>(decrypt ? 11 : 3)};
    AesRoundTables t{};
    for (int i = 0; i < 256; ++i) {
        const uint8_t x = decrypt ? s.inverse[i] : s.forward[i];
        t.sbox[i] = x;
        const uint32_t word = static_cast<uint32_t>(AesGfMul(x, mix[0])) << 24 |
                              static_cast<uint32_t>(AesGfMul(x, mix[1])) << 16 |
                              static_cast<uint32_t>(AesGfMul(x, mix[2])) << 8 | AesGfMul(x, mix[3]);
        for (int k = 0; k < 4; ++k)
            t.table[k][i] = k == 0 ? word : AesRotateRight(word, 8 * k);
    }
    return t;
}

inline uint32_t AesLoadBigEndian(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

inline void AesStoreBigEndian(uint8_t* p, uint32_t x)
{
    p[0] = static_cast<uint8_t>(x >> 24);
    p[1] = static_cast<uint8_t>(x >> 16);
    p[2] = static_cast<uint8_t>(x >> 8);
    p[3] = static_cast<uint8_t>(x);
}

// The table-driven cipher over whole blocks, in either direction: the first
// round key added, rounds - 1 full rounds through `tables`, and a last round
// of substitution and row shift alone. `roundWords` holds the round keys as
// big-endian words, in the order they are used. Row r of a column c comes
// from column c + r (encryption) or c - r (decryption). `input` and `output`
// may be the same buffer but must not otherwise overlap.
template <AesDirection Direction>
inline void AesTableBlocks(const AesRoundTables& tables, const uint32_t* roundWords, uint32_t rounds,
                           const uint8_t* input, uint8_t* output, size_t blockCount)
{
    constexpr int step = Direction == AesDirection::Encrypt ? 1 : 3;
    const uint32_t(&t)[4][256] = tables.table;
    const uint8_t* sbox = tables.sbox;
    for (; blockCount > 0; --blockCount, input += 16, output += 16) {
        const uint32_t* rk = roundWords;
        uint32_t s[4];
        for (int c = 0; c < 4; ++c)
            s[c] = AesLoadBigEndian(input + 4 * c) ^ rk[c];
        for (uint32_t round = 1; round < rounds; ++round) {
            rk += 4;
            uint32_t next[4];
            for (int c = 0; c < 4; ++c)
                next[c] = t[0][s[c] >> 24] ^ t[1][(s[(c + step) & 3] >> 16) & 0xff] ^
                          t[2][(s[(c + 2 * step) & 3] >> 8) & 0xff] ^ t[3][s[(c + 3 * step) & 3] & 0xff] ^ rk[c];
            for (int c = 0; c < 4; ++c)
                s[c] = next[c];
        }
        rk += 4;
        for (int c = 0; c < 4; ++c)
            AesStoreBigEndian(output + 4 * c, (static_cast<uint32_t>(sbox[s[c] >> 24]) << 24 |
                                               static_cast<uint32_t>(sbox[(s[(c + step) & 3] >> 16) & 0xff]) << 16 |
                                               static_cast<uint32_t>(sbox[(s[(c + 2 * step) & 3] >> 8) & 0xff]) << 8 |
                                               sbox[s[(c + 3 * step) & 3] & 0xff]) ^
                                                  rk[c]);
    }
}
