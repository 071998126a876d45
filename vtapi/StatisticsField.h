// The counters of the engine statistics: one REG_DWORD value each under the
// "Stats" key, in the order of the fields of VtStatisticsRecord after its size
// and version.
#pragma once

#include <cstddef>
#include <string_view>

constexpr std::size_t StatisticsFieldCount = 9;

// Value names by field index: "BlockedA", "Suspicious", "BlockedC",
// "Reserved0" to "Reserved4", "HarmfulDataSize".
const wchar_t* StatisticsFieldName(std::size_t index) noexcept;

// Finds a field by its value name, letter case ignored.
bool FindStatisticsField(std::wstring_view name, std::size_t& index) noexcept;
