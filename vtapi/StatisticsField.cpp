#include "vtapi/StatisticsField.h"

#include <windows.h>

namespace {

constexpr const wchar_t* FieldNames[StatisticsFieldCount] = {
    L"BlockedA",
    L"Suspicious",
    L"BlockedC",
    L"Reserved0",
    L"Reserved1",
    L"Reserved2",
    L"Reserved3",
    L"Reserved4",
    L"HarmfulDataSize",
};

}  // namespace

const wchar_t* StatisticsFieldName(std::size_t index) noexcept
{
    return index < StatisticsFieldCount ? FieldNames[index] : L"";
}

bool FindStatisticsField(std::wstring_view name, std::size_t& index) noexcept
{
    for (std::size_t i = 0; i < StatisticsFieldCount; ++i) {
        if (CompareStringOrdinal(name.data(), static_cast<int>(name.size()), FieldNames[i], -1, TRUE) == CSTR_EQUAL) {
            index = i;
            return true;
        }
    }
    return false;
}
