// Internal to log/crypto (and its tests and benchmark): the two ways of
// encrypting blocks that Aes256EncryptBlocks chooses between at run time.
#pragma once

#include "log/crypto/Aes256Schedule.h"

// True when the processor has the AES instructions (cpuid leaf 1, ECX bit 25).
bool AesNiAvailable();

// Table-based encryption; runs on every processor.
void Aes256EncryptBlocksPortable(const Aes256Schedule* schedule, const uint8_t* input, uint8_t* output,
                                 size_t blockCount);

// AES instructions, eight blocks interleaved. Only when AesNiAvailable().
void Aes256EncryptBlocksNi(const Aes256Schedule* schedule, const uint8_t* input, uint8_t* output,
                           size_t blockCount);
