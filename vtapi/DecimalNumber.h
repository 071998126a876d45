// Decimal numbers as the engine's stored lists and its control tool write them.
#pragma once

#include <cstdint>
#include <limits>
#include <string_view>

// 1 to 10 decimal digits whose value fits 32 bits: true with `value` set.
// Anything else (a sign, a space, an empty text, a larger number) is false,
// and `value` is left as it was.
inline bool ParseDecimal32(std::wstring_view text, uint32_t& value)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of(L"0123456789") != std::wstring_view::npos)
        return false;
    unsigned long long parsed = 0;
    for (wchar_t digit : text)
        parsed = parsed * 10 + static_cast<unsigned>(digit - L'0');
    if (parsed > std::numeric_limits<uint32_t>::max())
        return false;
    value = static_cast<uint32_t>(parsed);
    return true;
}
