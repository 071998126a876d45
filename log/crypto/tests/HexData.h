// Test helpers: known-answer data is kept as hex strings.
#pragma once

#include "log/crypto/BigNumber.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

inline std::vector<uint8_t> FromHex(std::string_view hex)
{
    if (hex.size() % 2 != 0)
        throw std::invalid_argument("odd hex length");
    const auto value = [](char c) {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        throw std::invalid_argument("not hex");
    };
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < hex.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(value(hex[i]) << 4 | value(hex[i + 1])));
    return bytes;
}

inline std::string ToHex(const uint8_t* bytes, size_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < length; ++i) {
        hex += digits[bytes[i] >> 4];
        hex += digits[bytes[i] & 15];
    }
    return hex;
}

inline std::string ToHex(const std::vector<uint8_t>& bytes)
{
    return ToHex(bytes.data(), bytes.size());
}

// Big-endian hex to `digits` digits, least significant first (any length,
// independent of BigDecode's 33-digit limit).
inline std::vector<BigDigit> DigitsFromHex(std::string_view hex, uint32_t digits)
{
    const std::vector<uint8_t> bytes = FromHex(hex);
    std::vector<BigDigit> number(digits, 0);
    for (size_t i = 0; i < bytes.size(); ++i) {
        const size_t position = bytes.size() - 1 - i;  // byte index from the least significant end
        if (position / 4 >= digits)
            throw std::invalid_argument("number does not fit");
        number[position / 4] |= static_cast<BigDigit>(bytes[i]) << (8 * (position % 4));
    }
    return number;
}

// Digits to minimal big-endian hex with an even number of characters ("00" for zero).
inline std::string HexFromDigits(const BigDigit* number, uint32_t digits)
{
    std::vector<uint8_t> bytes;
    for (uint32_t i = digits; i-- > 0;) {
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes.push_back(static_cast<uint8_t>(number[i] >> shift));
    }
    size_t first = 0;
    while (first + 1 < bytes.size() && bytes[first] == 0)
        ++first;
    return bytes.empty() ? "00" : ToHex(bytes.data() + first, bytes.size() - first);
}

inline uint32_t DigitCountForHex(std::string_view hex)
{
    return static_cast<uint32_t>((hex.size() / 2 + 3) / 4);
}
