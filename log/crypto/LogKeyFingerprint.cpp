#include "log/crypto/LogKeyFingerprint.h"

#include "log/crypto/Md5Context.h"

std::string LogKeyFingerprint(const RsaPublicKey& key)
{
    size_t modulusLength = (static_cast<size_t>(key.bits) + 7) / 8;
    if (modulusLength > sizeof(key.modulus))
        modulusLength = sizeof(key.modulus);
    Md5Context context;
    Md5Init(&context);
    Md5Update(&context, key.modulus + sizeof(key.modulus) - modulusLength, modulusLength);
    Md5Update(&context, key.exponent + sizeof(key.exponent) - 3, 3);
    uint8_t digest[16];
    Md5Final(digest, &context);
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (int i = 0; i < 8; ++i) {
        text.push_back(hex[digest[i] >> 4]);
        text.push_back(hex[digest[i] & 15]);
    }
    return text;
}
