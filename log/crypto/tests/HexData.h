// Test helpers: known-answer data is kept as hex strings.
#pragma once

#include "log/crypto/BigNumber.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::string_view HexDigits = "0123456789abcdef";

// Lowercase or uppercase digits, two a byte.
inline std::vector<uint8_t> FromHex(std::string_view hex)
{
    if (hex.size() % 2 != 0)
        throw std::invalid_argument("odd hex length");
    const auto value = [](char c) {
        const size_t digit = HexDigits.find(static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c));
        if (digit == std::string_view::npos)
            throw std::invalid_argument("not hex");
        return static_cast<unsigned>(digit);
    };
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < hex.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(value(hex[i]) << 4 | value(hex[i + 1])));
    return bytes;
}

inline std::string ToHex(const uint8_t* bytes, size_t length)
{
    std::string hex;
    for (size_t i = 0; i < length; ++i) {
        hex += HexDigits[bytes[i] >> 4];
        hex += HexDigits[bytes[i] & 15];
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
