#include "vtapi/EngineApi.h"

#include "base/Mutex.h"
#include "vtapi/EngineCall.h"
#include "vtapi/EngineState.h"
#include "vtapi/FaultSwitch.h"
#include "vtapi/SessionUsers.h"
#include "vtapi/VirtualDataFolder.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#ifndef ERROR_INVALID_STATE
#define ERROR_INVALID_STATE 5023L
#endif

namespace {

constexpr uint32_t NoSession = 0xFFFFFFFF;
constexpr uint32_t StatisticsRecordSize = sizeof(VtStatisticsRecord);
constexpr uint32_t StatisticsRecordVersion = 1;

// The active session and its user. Copied out under the mutex at the start of
// each call; no registry work is done under it.
struct ActiveSession {
    uint32_t id = NoSession;
    std::wstring userSid;
};
Mutex ActiveSessionMutex;
ActiveSession Active OLV_GUARDED_BY(ActiveSessionMutex);

ActiveSession CurrentSession()
{
    MutexHolder hold(ActiveSessionMutex);
    return Active;
}

// The state the calls reach: the active session's user's, or before the first
// session the calling thread's user's.
EngineState StateOf(const ActiveSession& session)
{
    return session.id == NoSession ? EngineState() : EngineState(session.userSid);
}

int32_t Fail(DWORD error) noexcept
{
    SetLastError(error);
    return 0;
}

// Runs one engine call: no exception leaves it.
template <typename Body>
int32_t Guarded(Body&& body) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    } catch (...) {
        return Fail(ERROR_INTERNAL_ERROR);
    }
}

// Runs one engine call on the active session's state: its fault switch
// first, then the body with the state (and the session, when it asks for
// it). The body returns the call's result and sets the last error itself.
template <typename Body>
int32_t RunCall(EngineCall call, Body&& body) noexcept
{
    return Guarded([&]() -> int32_t {
        ActiveSession session = CurrentSession();
        EngineState state = StateOf(session);
        if (!FaultSwitch(state).Pass(call))
            return Fail(FaultInjectedError);
        if constexpr (std::is_invocable_v<Body, const EngineState&, const ActiveSession&>)
            return body(state, session);
        else
            return body(state);
    });
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

// Starting and stopping: the running flag, with a reserved argument that must be 0.
int32_t SetRunningCall(EngineCall call, int32_t reserved, bool running) noexcept
{
    return RunCall(call, [&](const EngineState& state) -> int32_t {
        if (reserved != 0)
            return Fail(ERROR_INVALID_PARAMETER);
        DWORD error = state.SetRunning(running);
        return error == ERROR_SUCCESS ? 1 : Fail(error);
    });
}

}  // namespace

namespace EngineApi {

int32_t SetActiveSession(uint32_t sessionId) noexcept
{
    return Guarded([&]() -> int32_t {
        // The switches and the session list are those of the user the call
        // switches to, when the system names one.
        std::wstring userSid;
        DWORD userError = sessionId == NoSession ? ERROR_INVALID_PARAMETER
                                                 : SessionUsers::Current().UserOf(sessionId, userSid);
        EngineState state = userError == ERROR_SUCCESS ? EngineState(userSid) : StateOf(CurrentSession());
        if (!FaultSwitch(state).Pass(EngineCall::SetActiveSession))
            return Fail(FaultInjectedError);
        if (userError != ERROR_SUCCESS)
            return Fail(userError);
        DWORD error = ERROR_SUCCESS;
        if (!SessionHasUser(state, sessionId, error))
            return Fail(error != ERROR_SUCCESS ? error : ERROR_NO_SUCH_LOGON_SESSION);
        // The engine keeps statistics for the session's user from now on: the
        // key a watcher opens must exist.
        error = state.EnsureStatsKey();
        if (error != ERROR_SUCCESS)
            return Fail(error);
        ActiveSession chosen{sessionId, std::move(userSid)};
        MutexHolder hold(ActiveSessionMutex);
        std::swap(Active, chosen);
        return 1;
    });
}

int32_t IsVantorStarted() noexcept
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

int32_t StartVantor(int32_t reserved) noexcept
{
    return SetRunningCall(EngineCall::StartVantor, reserved, true);
}

int32_t StopVantor(int32_t reserved) noexcept
{
    return SetRunningCall(EngineCall::StopVantor, reserved, false);
}

int32_t GetConfigOption(int32_t optionId) noexcept
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

int32_t SetConfigOption(int32_t optionId, int32_t value) noexcept
{
    // The value waits until VtApi_NotifySettingsChange applies it, as the
    // engine takes a whole set of settings at once.
    return RunCall(EngineCall::SetConfigOption, [&](const EngineState& state) -> int32_t {
        DWORD error = state.SetPendingOption(optionId, value);
        return error == ERROR_SUCCESS ? 1 : Fail(error);
    });
}

int32_t NotifySettingsChange() noexcept
{
    return RunCall(EngineCall::NotifySettingsChange, [&](const EngineState& state) -> int32_t {
        unsigned applied = 0;
        DWORD error = state.ApplyPendingOptions(applied);
        return error == ERROR_SUCCESS ? 1 : Fail(error);
    });
}

int32_t ClearVirtualData() noexcept
{
    return RunCall(EngineCall::ClearVirtualData, [&](const EngineState& state, const ActiveSession& session) -> int32_t {
        if (session.id == NoSession)
            return Fail(ERROR_INVALID_STATE);
        std::wstring path;
        DWORD error = state.GetVirtualDataPath(path);
        if (error == ERROR_SUCCESS)
            error = VirtualDataFolder(path).Clear();
        return error == ERROR_SUCCESS ? 1 : Fail(error);
    });
}

int32_t ResetMessages() noexcept
{
    return RunCall(EngineCall::ResetMessages, [&](const EngineState& state) -> int32_t {
        DWORD error = state.SetMessages(0);
        return error == ERROR_SUCCESS ? 1 : Fail(error);
    });
}

int32_t GetStatistics(VtStatisticsRecord* record) noexcept
{
    return RunCall(EngineCall::GetStatistics, [&](const EngineState& state, const ActiveSession& session) -> int32_t {
        if (!record || record->size != StatisticsRecordSize)
            return Fail(ERROR_INVALID_PARAMETER);
        if (record->version != StatisticsRecordVersion)
            return Fail(ERROR_UNKNOWN_REVISION);
        if (session.id == NoSession)
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

int32_t QueryVersionInfo(VtVersionInfo* info) noexcept
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

}  // namespace EngineApi
