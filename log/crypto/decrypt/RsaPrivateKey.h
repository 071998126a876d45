// The private half of a log key pair, as a log reader holds it: parsing the
// key file, the private-key operation, and unsealing a file's stream key.
#pragma once

#include "log/crypto/RsaPublicKey.h"
#include "log/crypto/StreamKey.h"

#include <cstdint>
#include <string>
#include <string_view>

// UnwrapStreamKey's answer when the unsealed block does not have the stream
// key's layout: the blob was sealed with another key pair, or is damaged.
constexpr int32_t StreamKeyNotRecognised = 0x411;

struct RsaPrivateKey {
    uint16_t bits;
    uint8_t modulus[RsaMaxModulusLength];          // big-endian, right-aligned
    uint8_t publicExponent[RsaMaxModulusLength];   // big-endian, right-aligned
    uint8_t privateExponent[RsaMaxModulusLength];  // big-endian, right-aligned
};

// Reads the text key format (keys/README.md): "bits", "modulus",
// "publicExponent" and "privateExponent" lines are required; "prime1" and
// "prime2" are accepted and not used. Returns false with a message in *error
// for anything else, or when bits (505 to 1024) does not match the modulus.
bool ParseRsaPrivateKey(std::string_view text, RsaPrivateKey* key, std::string* error);

// output = input^d mod n. `input` is big-endian, at most 128 bytes. Returns 0
// with (bits + 7) / 8 bytes in output (the caller provides that many) and
// their number in *outputLength; RsaBadLength for an unusable key length or
// input length; RsaBlockTooLarge when the input is not below the modulus.
int32_t RsaPrivateBlock(uint8_t* output, uint32_t* outputLength, const uint8_t* input, uint32_t inputLength,
                        const RsaPrivateKey* key);

// Recovers the 32-byte AES key from a file header's key blob. Returns 0,
// an RsaPrivateBlock error, or StreamKeyNotRecognised; the key is written
// only on success.
int32_t UnwrapStreamKey(const RsaPrivateKey* key, const uint8_t* blob, uint32_t length,
                        uint8_t streamKey[StreamKeyLength]);

void RsaWipePrivateKey(RsaPrivateKey* key);
