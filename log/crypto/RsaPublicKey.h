// The raw public-key operation that seals a log's stream key: one block,
// exponentiated as given (no padding), c = m^e mod n.
#pragma once

#include <cstdint>

constexpr uint32_t RsaMaxModulusBits = 1024;
constexpr uint32_t RsaMaxModulusLength = (RsaMaxModulusBits + 7) / 8;

// Length of the block RsaPublicBlock reads.
constexpr uint32_t RsaBlockLength = 64;

// Result codes of RsaPublicBlock (they are written into log files as
// "stream_key_init_error=0x%x" when a key cannot be sealed).
constexpr int32_t RsaBlockTooLarge = 0x401;  // input not below the modulus, or a zero modulus
constexpr int32_t RsaBadLength = 0x406;      // modulus shorter than the block, or longer than the record holds

struct RsaPublicKey {
    uint16_t bits;                          // length of the modulus in bits
    uint8_t modulus[RsaMaxModulusLength];   // big-endian, right-aligned
    uint8_t exponent[RsaMaxModulusLength];  // big-endian, right-aligned
};

// Raises the 64-byte big-endian block `input` to the key's exponent modulo its
// modulus. On success returns 0, writes (bits + 7) / 8 bytes to `output` (the
// caller provides that many) and stores that number in *outputLength.
// Returns RsaBadLength when bits is below 505 or above 1024, RsaBlockTooLarge
// when the block is not below the modulus; on failure nothing is written.
int32_t RsaPublicBlock(uint8_t* output, uint32_t* outputLength, const uint8_t input[RsaBlockLength],
                       const RsaPublicKey* key);

// The operation both halves of a key pair share: output = input^exponent mod
// modulus, on big-endian numbers of a key of `bits` bits (modulus and
// exponent right-aligned in RsaMaxModulusLength bytes). Returns RsaBadLength
// when bits is below 505 or above 1024 or the input is longer than 128 bytes,
// RsaBlockTooLarge when the input is not below the modulus; else 0, with
// (bits + 7) / 8 bytes in `output` and their number in *outputLength. The
// input, the result and the exponent, as numbers, are wiped after use.
int32_t RsaBlockPower(uint8_t* output, uint32_t* outputLength, const uint8_t* input, uint32_t inputLength,
                      uint16_t bits, const uint8_t (&modulus)[RsaMaxModulusLength],
                      const uint8_t (&exponent)[RsaMaxModulusLength]);

