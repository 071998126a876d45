// Internal to log/crypto: the cipher's byte substitution and the round tables
// built from it, computed by the compiler so that no table is typed by hand.
#pragma once

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

constexpr AesRoundTables MakeAesEncryptTables()
{
    const AesSboxes s = MakeAesSboxes();
    AesRoundTables t{};
    for (int i = 0; i < 256; ++i) {
        const uint8_t x = s.forward[i];
        t.sbox[i] = x;
        const uint32_t word = static_cast<uint32_t>(AesGfMul(x, 2)) << 24 | static_cast<uint32_t>(x) << 16 |
                              static_cast<uint32_t>(x) << 8 | AesGfMul(x, 3);
        for (int k = 0; k < 4; ++k)
            t.table[k][i] = k == 0 ? word : AesRotateRight(word, 8 * k);
    }
    return t;
}

constexpr AesRoundTables MakeAesDecryptTables()
{
    const AesSboxes s = MakeAesSboxes();
    AesRoundTables t{};
    for (int i = 0; i < 256; ++i) {
        const uint8_t x = s.inverse[i];
        t.sbox[i] = x;
        const uint32_t word = static_cast<uint32_t>(AesGfMul(x, 14)) << 24 |
                              static_cast<uint32_t>(AesGfMul(x, 9)) << 16 |
                              static_cast<uint32_t>(AesGfMul(x, 13)) << 8 | AesGfMul(x, 11);
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
