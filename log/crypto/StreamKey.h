// The log's stream key: how a new one is made and laid out, and how it is
// sealed with the built-in public key for a new file's header.
//
// keyArea (64 bytes):
//   0        0x00
//   1        0x02
//   2..9     eight random bytes, none of them zero
//   10       0x00
//   11..31   twenty-one random bytes
//   32..63   zero
// Bytes 0..31 are the AES-256 key (fixed bytes included) and what the registry
// shares between processes; all 64 bytes, read as one big-endian number, are
// what is sealed. The leading 0x00 0x02 keeps that number below any 512-bit
// modulus.
#pragma once

#include "log/crypto/RsaPublicKey.h"

#include <cstdint>

constexpr uint32_t StreamKeyAreaLength = 64;
constexpr uint32_t StreamKeyLength = 32;
constexpr uint32_t StreamKeyBlobLength = 64;
constexpr uint32_t StreamKeyAttempts = 128;

// GenerateStreamKey's answer when the seed source failed. keyArea is then all
// zero and must not be used as a key.
constexpr int32_t StreamKeySeedFailed = 0x410;

// Fills `bytes` with `length` unpredictable bytes; returns false when it cannot.
using StreamKeySeedSource = bool (*)(void* context, uint8_t* bytes, uint32_t length);

// The system's cryptographic generator (RtlGenRandom). `context` is unused.
bool SystemSeedSource(void* context, uint8_t* bytes, uint32_t length);

// Makes a new stream key in keyArea from the system's generator. Up to 128
// attempts, stopping at the first key that WrapStreamKey accepts. Returns 0;
// the wrap error of the last attempt (its key stays in keyArea) when none was
// accepted; or StreamKeySeedFailed.
int32_t GenerateStreamKey(uint8_t keyArea[StreamKeyAreaLength]);

// The same with a given seed source: equal seed bytes give an equal key.
int32_t GenerateStreamKey(uint8_t keyArea[StreamKeyAreaLength], StreamKeySeedSource source, void* context);

// The same, sealing the attempts with `key` instead of the built-in key (for
// tests and tools that check keys against another pair).
int32_t GenerateStreamKey(uint8_t keyArea[StreamKeyAreaLength], const RsaPublicKey* key, StreamKeySeedSource source,
                          void* context);

// Fills `key` with the public key built into this library (512 bits).
void GetBuiltInLogKey(RsaPublicKey* key);

// Seals all 64 bytes of keyArea with the built-in public key. *length holds
// the capacity of `blob` on entry. Returns 0 with 64 bytes in blob and
// *length = 64; RsaBlockTooLarge or RsaBadLength (also when the capacity is
// below 64) with blob and *length untouched.
int32_t WrapStreamKey(const uint8_t keyArea[StreamKeyAreaLength], uint8_t* blob, uint32_t* length);
