// Compiled with the AES instruction set enabled (this file only); reached
// only after AesNiAvailable() said the processor has it.
#include "log/crypto/Aes256Paths.h"

#include <emmintrin.h>
#include <wmmintrin.h>

void Aes256EncryptBlocksNi(const Aes256Schedule* schedule, const uint8_t* input, uint8_t* output,
                           size_t blockCount)
{
    // Unaligned loads: the schedule may sit inside a caller's packed record.
    __m128i k[Aes256Rounds + 1];
    for (uint32_t r = 0; r <= Aes256Rounds; ++r)
        k[r] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(schedule->roundKeys[r]));

    // Eight independent blocks keep the AES unit's pipeline full: one round
    // instruction has several cycles of latency but issues every cycle.
    for (; blockCount >= 8; blockCount -= 8, input += 128, output += 128) {
        __m128i b[8];
        for (int j = 0; j < 8; ++j)
            b[j] = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(input + 16 * j)), k[0]);
        for (uint32_t r = 1; r < Aes256Rounds; ++r) {
            for (int j = 0; j < 8; ++j)
                b[j] = _mm_aesenc_si128(b[j], k[r]);
        }
        for (int j = 0; j < 8; ++j)
            _mm_storeu_si128(reinterpret_cast<__m128i*>(output + 16 * j), _mm_aesenclast_si128(b[j], k[Aes256Rounds]));
    }
    for (; blockCount > 0; --blockCount, input += 16, output += 16) {
        __m128i b = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(input)), k[0]);
        for (uint32_t r = 1; r < Aes256Rounds; ++r)
            b = _mm_aesenc_si128(b, k[r]);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(output), _mm_aesenclast_si128(b, k[Aes256Rounds]));
    }
}
