#include "vtapi/EngineCall.h"

#include <windows.h>

namespace {

constexpr const wchar_t* CallNames[EngineCallCount] = {
    L"VtApi_SetActiveSession",
    L"VtApi_IsVantorStarted",
    L"VtApi_StartVantor",
    L"VtApi_StopVantor",
    L"VtApi_GetConfigOption",
    L"VtApi_SetConfigOption",
    L"VtApi_NotifySettingsChange",
    L"VtApi_ClearVirtualData",
    L"VtApi_ResetMessages",
    L"VtApi_GetStatistics",
    L"VtApi_Query_VersionInfo",
};

constexpr std::wstring_view CallPrefix = L"VtApi_";

bool EqualNoCase(std::wstring_view a, std::wstring_view b) noexcept
{
    return a.size() == b.size()
        && CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE)
        == CSTR_EQUAL;
}

}  // namespace

const wchar_t* EngineCallName(EngineCall call) noexcept
{
    auto index = static_cast<std::size_t>(call);
    return index < EngineCallCount ? CallNames[index] : L"";
}

bool FindEngineCall(std::wstring_view name, EngineCall& call) noexcept
{
    for (std::size_t i = 0; i < EngineCallCount; ++i) {
        std::wstring_view full = CallNames[i];
        if (EqualNoCase(name, full) || EqualNoCase(name, full.substr(CallPrefix.size()))) {
            call = static_cast<EngineCall>(i);
            return true;
        }
    }
    return false;
}
