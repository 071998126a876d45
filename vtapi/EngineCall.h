// The calls of the engine API, by which fault switches and tools name them.
#pragma once

#include <cstddef>
#include <string_view>

enum class EngineCall : unsigned {
    SetActiveSession,
    IsVantorStarted,
    StartVantor,
    StopVantor,
    GetConfigOption,
    SetConfigOption,
    NotifySettingsChange,
    ClearVirtualData,
    ResetMessages,
    GetStatistics,
    QueryVersionInfo,
};

constexpr std::size_t EngineCallCount = 11;

// The exported name of the call, for example L"VtApi_GetStatistics".
const wchar_t* EngineCallName(EngineCall call) noexcept;

// Finds a call by its exported name or by that name without the "VtApi_"
// prefix, letter case ignored. Returns false for an unknown name.
bool FindEngineCall(std::wstring_view name, EngineCall& call) noexcept;
