// MD5 message digest (RFC 1321). The log's random pool uses it to mix seed
// bytes into its state and to turn its state into output.
#pragma once

#include <cstddef>
#include <cstdint>

struct Md5Context {
    uint32_t state[4];   // chaining words A, B, C, D
    uint32_t count[2];   // bits hashed so far, low word first
    uint8_t buffer[64];  // pending input, less than one block
};

void Md5Init(Md5Context* context);

// Adds `length` bytes of input; any length, in any number of calls.
void Md5Update(Md5Context* context, const uint8_t* input, size_t length);

// Pads, writes the 16-byte digest and clears the whole context: it must be
// initialised again before the next use.
void Md5Final(uint8_t digest[16], Md5Context* context);
