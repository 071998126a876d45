// The engine's configuration options 1 to 11 and the setting names that the
// user interface uses for options 2 to 11. Option 1 has no setting name.
#pragma once

#include <cstdint>
#include <string_view>

constexpr int32_t FirstOptionId = 1;
constexpr int32_t LastOptionId = 11;

constexpr bool IsOptionId(int32_t id) noexcept
{
    return id >= FirstOptionId && id <= LastOptionId;
}

// The setting name of an option, or null for option 1 and ids out of range.
const wchar_t* OptionSettingName(int32_t id) noexcept;

// Reads an option as a decimal id (1 to 11) or as a setting name (letter case
// ignored, for people typing it). Returns false when it is neither.
bool ParseOptionId(std::wstring_view text, int32_t& id) noexcept;
