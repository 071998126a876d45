// Internal to log/crypto: the public key that seals stream keys, chosen when
// the project is configured (OLV_LOG_PUBLIC_KEY_FILE) and generated into
// BuiltInLogKey.cpp in the build folder. Only the public half is ever here.
#pragma once

#include <cstdint>

extern const uint16_t BuiltInLogKeyBits;
extern const uint8_t BuiltInLogModulus[64];   // big-endian
extern const uint8_t BuiltInLogExponent[3];   // big-endian, leading bytes 0
