#include "vtapi/OptionName.h"

#include <windows.h>

namespace {

// Index = option id.
constexpr const wchar_t* SettingNames[LastOptionId + 1] = {
    nullptr,
    nullptr,
    L"EnableVirtual",
    L"EnableCheckKeystrokes",
    L"KeystrokeSetting",
    L"EnableSiteStatusCheck",
    L"EnableAntiphishingSig",
    L"EnableAntiphishingHeuristic",
    L"EnableBlockSpySite",
    L"EnableCheckFileDownload",
    L"EnableScanSpy",
    L"EnableAutoUpdate",
};

}  // namespace

const wchar_t* OptionSettingName(int32_t id) noexcept
{
    return IsOptionId(id) ? SettingNames[id] : nullptr;
}

bool ParseOptionId(std::wstring_view text, int32_t& id) noexcept
{
    if (text.empty())
        return false;
    if (text.size() <= 2 && text.find_first_not_of(L"0123456789") == std::wstring_view::npos) {
        int32_t value = 0;
        for (wchar_t c : text)
            value = value * 10 + (c - L'0');
        if (!IsOptionId(value))
            return false;
        id = value;
        return true;
    }
    for (int32_t i = FirstOptionId; i <= LastOptionId; ++i) {
        const wchar_t* name = SettingNames[i];
        if (name && CompareStringOrdinal(text.data(), static_cast<int>(text.size()), name, -1, TRUE) == CSTR_EQUAL) {
            id = i;
            return true;
        }
    }
    return false;
}
