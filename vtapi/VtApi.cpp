// The exports of VtApi.dll: the simulated engine as the plug-in calls it.
//
// Every call first passes its fault switch (a delay, then perhaps an injected
// failure), then works on the state of the calling thread's user in the
// registry. A failing call returns 0 and sets the thread's last-error value;
// IsVantorStarted and GetConfigOption, whose 0 can also be an answer, set it to
// ERROR_SUCCESS when they answer. No exception leaves an export.
//
// Sessions: the API keeps one active session per process (the engine serves
// each client process on its own). A session "has a logged-on user" when it is
// the active console session or is listed in the state's "Sessions" value; the
// rule stands in for the logon check of the real system, under which every
// session number would otherwise count. VtApi_ClearVirtualData and
// VtApi_GetStatistics act on the active session and fail while there is none.
#include "contracts/VtApi.h"

#include "vtapi/EngineCall.h"
#include "vtapi/EngineState.h"
#include "vtapi/FaultSwitch.h"
#include "vtapi/VirtualDataFolder.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#ifndef ERROR_INVALID_STATE
#define ERROR_INVALID_STATE 5023L
#endif

namespace {

constexpr uint32_t NoSession = 0xFFFFFFFF;
constexpr uint32_t StatisticsRecordSize = sizeof(VtStatisticsRecord);
constexpr uint32_t StatisticsRecordVersion = 1;

std::atomic<uint32_t> ActiveSession{NoSession};

int32_t Fail(DWORD error) noexcept
{
    SetLastError(error);
    return 0;
}

// Runs one engine call: its fault switch first, then the body with the user's
// state. The body returns the call's result and sets the last error itself.
template <typename Body>
int32_t RunCall(EngineCall call, Body&& body) noexcept
{
    try {
        EngineState state;
        if (!FaultSwitch(state).Pass(call))
            return Fail(FaultInjectedError);
        return body(state);
    } catch (const std::bad_alloc&) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    } catch (...) {
        return Fail(ERROR_INTERNAL_ERROR);
    }
}

bool SessionHasUser(const EngineState& state, uint32_t sessionId, DWORD& error)
{
    error = ERROR_SUCCESS;
    if (sessionId == WTSGetActiveConsoleSessionId())
        return true;
    std::vector<uint32_t> sessions;
    error = state.GetSessions(sessions);
    return error == ERROR_SUCCESS && std::find(sessions.begin(), sessions.end(), sessionId) != sessions.end();
}

// Copies text into a fixed field of count units, cut to leave room for the
// terminator; the field was zeroed before.
void CopyTerminated(wchar_t* field, std::size_t count, const std::wstring& text)
{
    std::size_t units = std::min(text.size(), count - 1);
    std::memcpy(field, text.data(), units * sizeof(wchar_t));
    field[units] = L'\0';
}

}  // namespace

VTAPI_API int32_t VtApi_SetActiveSession(uint32_t sessionId)
{
    return RunCall(EngineCall::SetActiveSession, [&](const EngineState& state) -> int32_t {
        if (sessionId == NoSession)
            return Fail(ERROR_INVALID_PARAMETER);
        DWORD error = ERROR_SUCCESS;
        if (!SessionHasUser(state, sessionId, error))
            return Fail(error != ERROR_SUCCESS ? error : ERROR_NO_SUCH_LOGON_SESSION);
        // The engine keeps statistics for the session's user from now on: the
        // key a watcher opens must exist.
        error = state.EnsureStatsKey();
        if (error != ERROR_SUCCESS)
            return Fail(error);
        ActiveSession.store(sessionId);
        return 1;
    });
}

VTAPI_API int32_t VtApi_IsVantorStarted(void)
{
    return RunCall(EngineCall::IsVantorStarted, [&](const EngineState& state) -> int32_t {
        bool running = false;
        DWORD error = state.GetRunning(running);
        if (error != ERROR_SUCCESS)
            return Fail(error);
        SetLastError(ERROR_SUCCESS);
        return running ? 1 : 0;
    });
}

VTAPI_API int32_t VtApi_StartVantor(int32_t reserved)
{
    return RunCall(EngineCall::StartVantor, [&](const EngineState& state) -> int32_t {
        if (reserved != 0)
            return Fail(ERROR_INVALID_PARAMETER);
        DWORD error = state.SetRunning(true);
        return error == ERROR_SUCCESS ? 1 : Fail(error);
    });
}

VTAPI_API int32_t VtApi_StopVantor(int32_t reserved)
{
    return RunCall(EngineCall::StopVantor, [&](const EngineState& state) -> int32_t {
        if (reserved != 0)
            return Fail(ERROR_INVALID_PARAMETER);
        DWORD error = state.SetRunning(false);
        return error == ERROR_SUCCESS ? 1 : Fail(error);
    });
}

VTAPI_API int32_t VtApi_GetConfigOption(int32_t optionId)
{
    return RunCall(EngineCall::GetConfigOption, [&](const EngineState& state) -> int32_t {
        int32_t value = 0;
        DWORD error = state.GetOption(optionId, value);
        if (error != ERROR_SUCCESS)
            return Fail(error);
        SetLastError(ERROR_SUCCESS);
        return value;
    });
}

VTAPI_API int32_t VtApi_SetConfigOption(int32_t optionId, int32_t value)
{
    // The value waits until VtApi_NotifySettingsChange applies it, as the
    // engine takes a whole set of settings at once.
    return RunCall(EngineCall::SetConfigOption, [&](const EngineState& state) -> int32_t {
        DWORD error = state.SetPendingOption(optionId, value);
        return error == ERROR_SUCCESS ? 1 : Fail(error);
    });
}

VTAPI_API int32_t VtApi_NotifySettingsChange(void)
{
    return RunCall(EngineCall::NotifySettingsChange, [&](const EngineState& state) -> int32_t {
        unsigned applied = 0;
        DWORD error = state.ApplyPendingOptions(applied);
        return error == ERROR_SUCCESS ? 1 : Fail(error);
    });
}

VTAPI_API int32_t VtApi_ClearVirtualData(void)
{
    return RunCall(EngineCall::ClearVirtualData, [&](const EngineState& state) -> int32_t {
        if (ActiveSession.load() == NoSession)
            return Fail(ERROR_INVALID_STATE);
        std::wstring path;
        DWORD error = state.GetVirtualDataPath(path);
        if (error == ERROR_SUCCESS)
            error = VirtualDataFolder(path).Clear();
        return error == ERROR_SUCCESS ? 1 : Fail(error);
    });
}

VTAPI_API int32_t VtApi_ResetMessages(void)
{
    return RunCall(EngineCall::ResetMessages, [&](const EngineState& state) -> int32_t {
        DWORD error = state.SetMessages(0);
        return error == ERROR_SUCCESS ? 1 : Fail(error);
    });
}

VTAPI_API int32_t VtApi_GetStatistics(VtStatisticsRecord* record)
{
    return RunCall(EngineCall::GetStatistics, [&](const EngineState& state) -> int32_t {
        if (!record || record->size != StatisticsRecordSize)
            return Fail(ERROR_INVALID_PARAMETER);
        if (record->version != StatisticsRecordVersion)
            return Fail(ERROR_UNKNOWN_REVISION);
        if (ActiveSession.load() == NoSession)
            return Fail(ERROR_INVALID_STATE);
        StatisticsValues values{};
        DWORD error = state.GetStatistics(values);
        if (error != ERROR_SUCCESS)
            return Fail(error);
        record->blockedA = values[0];
        record->suspicious = values[1];
        record->blockedC = values[2];
        for (std::size_t i = 0; i < 5; ++i)
            record->reserved[i] = values[3 + i];
        record->harmfulDataSize = values[8];
        return 1;
    });
}

VTAPI_API int32_t VtApi_Query_VersionInfo(VtVersionInfo* info)
{
    return RunCall(EngineCall::QueryVersionInfo, [&](const EngineState& state) -> int32_t {
        if (!info)
            return Fail(ERROR_INVALID_PARAMETER);
        std::vector<EngineComponent> components;
        bool usingDefaults = false;
        DWORD error = state.GetComponents(components, usingDefaults);
        if (error != ERROR_SUCCESS)
            return Fail(error);
        // The record holds 128 entries whatever count claims.
        std::size_t capacity = std::min<std::size_t>(info->count, VtVersionInfoCapacity);
        std::size_t filled = std::min(capacity, components.size());
        for (std::size_t i = 0; i < filled; ++i) {
            VtComponentVersion& entry = info->entries[i];
            std::memset(&entry, 0, sizeof(entry));
            // The opaque part carries the component's name, for tools.
            wchar_t name[sizeof(VtComponentVersion::opaque) / sizeof(wchar_t)] = {};
            CopyTerminated(name, std::size(name), components[i].name);
            std::memcpy(entry.opaque, name, sizeof(name));
            wchar_t version[sizeof(VtComponentVersion::version) / sizeof(wchar_t)] = {};
            CopyTerminated(version, std::size(version), components[i].version);
            std::memcpy(entry.version, version, sizeof(version));
        }
        info->count = static_cast<uint32_t>(filled);
        return 1;
    });
}
