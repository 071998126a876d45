// AES-256 encryption (FIPS-197) of whole 16-byte blocks, each by itself
// (electronic codebook: no IV, no chaining), as log records are encrypted.
// Uses the processor's AES instructions when it has them, a table-based
// implementation otherwise; both give the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t Aes256KeyLength = 32;
constexpr uint32_t Aes256BlockLength = 16;
constexpr uint32_t Aes256Rounds = 14;

// The expanded encryption key: 15 round keys, kept both in state byte order
// (for the AES instructions) and as big-endian words (for the tables).
struct Aes256Schedule {
    alignas(16) uint8_t roundKeys[Aes256Rounds + 1][Aes256BlockLength];
    uint32_t roundWords[4 * (Aes256Rounds + 1)];
};

void Aes256ExpandKey(Aes256Schedule* schedule, const uint8_t key[Aes256KeyLength]);

// Encrypts blockCount blocks of `data` in place.
void Aes256EncryptBlocks(const Aes256Schedule* schedule, uint8_t* data, size_t blockCount);

// Encrypts blockCount blocks from input to output; the two may be the same
// buffer but must not otherwise overlap.
void Aes256EncryptBlocks(const Aes256Schedule* schedule, const uint8_t* input, uint8_t* output, size_t blockCount);

// Clears a schedule that is no longer needed.
void Aes256WipeSchedule(Aes256Schedule* schedule);
