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

// The expanded encryption key: 15 round keys of 16 bytes in state byte order
// (FIPS-197 w[4r..4r+3], each word big-endian), 240 bytes in all, the size a
// log reserves for it. A plain byte record: it may be copied or placed at any
// 1-byte boundary.
struct Aes256Schedule {
    uint8_t roundKeys[Aes256Rounds + 1][Aes256BlockLength];
};
static_assert(sizeof(Aes256Schedule) == 240, "a log reserves 240 bytes for the schedule");

void Aes256ExpandKey(Aes256Schedule* schedule, const uint8_t key[Aes256KeyLength]);

// Encrypts blockCount blocks of `data` in place.
void Aes256EncryptBlocks(const Aes256Schedule* schedule, uint8_t* data, size_t blockCount);

// Encrypts blockCount blocks from input to output; the two may be the same
// buffer but must not otherwise overlap.
void Aes256EncryptBlocks(const Aes256Schedule* schedule, const uint8_t* input, uint8_t* output, size_t blockCount);

// Clears a schedule that is no longer needed.
void Aes256WipeSchedule(Aes256Schedule* schedule);
