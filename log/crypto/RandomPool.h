// The generator that turns seed bytes into stream-key bytes: an MD5-mixed
// 128-bit state that must be fed 256 seed bytes before it gives output.
#pragma once

#include <cstddef>
#include <cstdint>

// RandomPoolGenerate's answer while the pool still needs seed bytes.
constexpr int32_t RandomPoolNeedsSeed = 0x408;

constexpr uint32_t RandomPoolSeedLength = 256;

struct RandomPool {
    uint32_t bytesNeeded;      // seed bytes still required before output may be taken
    uint8_t poolState[16];     // big-endian 128-bit state
    uint32_t outputAvailable;  // bytes of `output` not handed out yet, taken from its end
    uint8_t output[16];        // the last output block
};

// Empty pool: 256 seed bytes needed, state 0, no output pending.
void RandomPoolInit(RandomPool* pool);

// Adds the MD5 digest of `bytes` to the state (128-bit big-endian sum, carry
// out of the top byte dropped) and counts `length` seed bytes.
void RandomPoolUpdate(RandomPool* pool, const uint8_t* bytes, size_t length);

// Writes `length` bytes of output. Returns 0, or RandomPoolNeedsSeed (nothing
// written) while the pool has not been fed enough.
int32_t RandomPoolGenerate(RandomPool* pool, uint8_t* destination, size_t length);

// Clears the pool's state and output, so that no key material stays behind.
void RandomPoolWipe(RandomPool* pool);
