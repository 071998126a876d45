#include "log/crypto/decrypt/RsaPrivateKey.h"

#include "log/crypto/BigNumber.h"
#include "log/crypto/WipeSecret.h"

#include <cstring>

namespace {

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Right-aligns the big-endian hex number into field; false when it is not hex
// or does not fit.
bool ParseHexField(std::string_view hex, uint8_t (&field)[RsaMaxModulusLength])
{
    while (hex.size() > 1 && hex[0] == '0' && hex[1] == '0')
        hex.remove_prefix(2);
    if (hex.empty() || hex.size() % 2 != 0 || hex.size() / 2 > sizeof(field))
        return false;
    std::memset(field, 0, sizeof(field));
    uint8_t* out = field + sizeof(field) - hex.size() / 2;
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = HexValue(hex[i]);
        const int low = HexValue(hex[i + 1]);
        if (high < 0 || low < 0)
            return false;
        *out++ = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

uint32_t NumberBits(const uint8_t (&field)[RsaMaxModulusLength])
{
    BigDigit n[BigMaxDigits];
    BigDecode(n, field, sizeof(field));
    const uint32_t digits = BigDigits(n, BigMaxDigits);
    return digits == 0 ? 0 : 32 * (digits - 1) + DigitBits(n[digits - 1]);
}

// A field name from the file as an error message quotes it: at most 32
// characters, anything but printable ASCII shown as "?", so that a file that is
// no key file at all still gives a short readable line.
std::string Quoted(std::string_view name)
{
    constexpr size_t longest = 32;
    std::string text = "\"";
    for (size_t i = 0; i < name.size() && i < longest; ++i)
        text.push_back(name[i] >= 0x20 && name[i] < 0x7F ? name[i] : '?');
    text += name.size() > longest ? "\"..." : "\"";
    return text;
}

} // namespace

bool ParseRsaPrivateKey(std::string_view text, RsaPrivateKey* key, std::string* error)
{
    RsaPrivateKey parsed = {};
    bool haveBits = false, haveModulus = false, havePublic = false, havePrivate = false;
    uint8_t unused[RsaMaxModulusLength];
    int lineNumber = 0;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = Trim(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++lineNumber;
        if (line.empty() || line[0] == '#')
            continue;
        const size_t space = line.find_first_of(" \t");
        const std::string_view name = line.substr(0, space);
        const std::string_view value = space == std::string_view::npos ? std::string_view() : Trim(line.substr(space));
        bool ok = true;
        if (name == "bits") {
            uint32_t bits = 0;
            for (char c : value) {
                ok = ok && c >= '0' && c <= '9' && bits < 100000;
                bits = bits * 10 + static_cast<uint32_t>(c - '0');
            }
            ok = ok && !value.empty() && bits >= 505 && bits <= RsaMaxModulusBits;
            parsed.bits = static_cast<uint16_t>(bits);
            haveBits = true;
        } else if (name == "modulus") {
            ok = ParseHexField(value, parsed.modulus);
            haveModulus = true;
        } else if (name == "publicExponent") {
            ok = ParseHexField(value, parsed.publicExponent);
            havePublic = true;
        } else if (name == "privateExponent") {
            ok = ParseHexField(value, parsed.privateExponent);
            havePrivate = true;
        } else if (name == "prime1" || name == "prime2") {
            ok = ParseHexField(value, unused);
        } else {
            *error = "line " + std::to_string(lineNumber) + ": unknown field " + Quoted(name);
            return false;
        }
        if (!ok) {
            *error = "line " + std::to_string(lineNumber) + ": bad value for " + Quoted(name);
            RsaWipePrivateKey(&parsed);
            return false;
        }
    }
    if (!haveBits || !haveModulus || !havePublic || !havePrivate) {
        *error = "missing field: bits, modulus, publicExponent and privateExponent are required";
        RsaWipePrivateKey(&parsed);
        return false;
    }
    if (NumberBits(parsed.modulus) != parsed.bits) {
        *error = "bits " + std::to_string(parsed.bits) + " does not match the modulus";
        RsaWipePrivateKey(&parsed);
        return false;
    }
    *key = parsed;
    RsaWipePrivateKey(&parsed);
    return true;
}

int32_t RsaPrivateBlock(uint8_t* output, uint32_t* outputLength, const uint8_t* input, uint32_t inputLength,
                        const RsaPrivateKey* key)
{
    return RsaBlockPower(output, outputLength, input, inputLength, key->bits, key->modulus, key->privateExponent);
}

int32_t UnwrapStreamKey(const RsaPrivateKey* key, const uint8_t* blob, uint32_t length,
                        uint8_t streamKey[StreamKeyLength])
{
    // The sealed block is exactly as long as the modulus, and a stream key is
    // only ever sealed with a 64-byte modulus.
    if ((static_cast<uint32_t>(key->bits) + 7) / 8 != StreamKeyBlobLength || length != StreamKeyBlobLength)
        return RsaBadLength;
    uint8_t keyArea[StreamKeyAreaLength];
    uint32_t keyAreaLength = 0;
    int32_t result = RsaPrivateBlock(keyArea, &keyAreaLength, blob, length, key);
    if (result == 0) {
        bool recognised = keyArea[0] == 0x00 && keyArea[1] == 0x02 && keyArea[10] == 0x00;
        for (uint32_t i = 2; i < 10; ++i)
            recognised = recognised && keyArea[i] != 0;
        for (uint32_t i = StreamKeyLength; i < StreamKeyAreaLength; ++i)
            recognised = recognised && keyArea[i] == 0;
        if (recognised)
            std::memcpy(streamKey, keyArea, StreamKeyLength);
        else
            result = StreamKeyNotRecognised;
    }
    WipeSecret(keyArea, sizeof(keyArea));
    return result;
}

void RsaWipePrivateKey(RsaPrivateKey* key)
{
    WipeSecret(key, sizeof(*key));
}
