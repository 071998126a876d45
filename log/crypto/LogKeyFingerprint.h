// A short name of a log key pair that people can compare: which key a build
// seals logs with, and whether a private key file is its other half.
#pragma once

#include "log/crypto/RsaPublicKey.h"

#include <string>

// The first 8 bytes of the MD5 of the public key as the logger builds it in
// (the modulus, (bits + 7) / 8 bytes big-endian, then the last three bytes of
// the exponent), as 16 lowercase hexadecimal digits.
std::string LogKeyFingerprint(const RsaPublicKey& key);
