// AES-256 decryption of whole 16-byte blocks, each by itself: the inverse of
// the log's record encryption, for reading logs.
#pragma once

#include "log/crypto/Aes256Schedule.h"

// Round keys of the equivalent inverse cipher, in the order they are used.
struct Aes256DecryptSchedule {
    uint32_t roundWords[4 * (Aes256Rounds + 1)];
};

void Aes256ExpandDecryptKey(Aes256DecryptSchedule* schedule, const uint8_t key[Aes256KeyLength]);

// Decrypts blockCount blocks from input to output; the two may be the same
// buffer but must not otherwise overlap.
void Aes256DecryptBlocks(const Aes256DecryptSchedule* schedule, const uint8_t* input, uint8_t* output,
                         size_t blockCount);
