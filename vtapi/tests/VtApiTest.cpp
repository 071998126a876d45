// The engine API as the plug-in calls it: through the exports of VtApi.dll.
#include "contracts/VtApi.h"
#include "tests/support/ChildScenario.h"
#include "tests/support/EngineSandbox.h"
#include "vtapi/ComponentList.h"
#include "vtapi/EngineCall.h"
#include "vtapi/EngineState.h"
#include "vtapi/FaultSwitch.h"
#include "vtapi/VirtualDataFolder.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#ifndef ERROR_INVALID_STATE
#define ERROR_INVALID_STATE 5023L
#endif

using namespace testsupport;

namespace {

uint32_t ConsoleSession()
{
    return WTSGetActiveConsoleSessionId();
}

VtStatisticsRecord FreshRecord()
{
    VtStatisticsRecord record = {};
    record.size = 44;
    record.version = 1;
    return record;
}

std::unique_ptr<VtVersionInfo> FreshVersionInfo(uint32_t capacity)
{
    auto info = std::make_unique<VtVersionInfo>();
    std::memset(info.get(), 0, sizeof(VtVersionInfo));
    info->count = capacity;
    return info;
}

// What a second engine process does; its exit code is 0 when everything it
// checked held, else the number of the first check that failed.
int ChildMain(const std::wstring& action)
{
    EngineState state;
    if (action == L"read-state") {
        // Expects what StateWrittenByOneProcessIsSeenByAnother wrote.
        if (VtApi_SetActiveSession(ConsoleSession()) == 0)
            return 10;
        if (VtApi_IsVantorStarted() != 1)
            return 11;
        if (VtApi_GetConfigOption(5) != 0 || VtApi_GetConfigOption(6) != 1)
            return 12;
        VtStatisticsRecord record = FreshRecord();
        if (VtApi_GetStatistics(&record) == 0 || record.blockedA != 7 || record.harmfulDataSize != 4096)
            return 13;
        auto info = FreshVersionInfo(VtVersionInfoCapacity);
        if (VtApi_Query_VersionInfo(info.get()) == 0 || info->count != 1 || std::wstring(info->entries[0].version) != L"9.9.9.9")
            return 14;
        return 0;
    }
    if (action == L"write-state") {
        if (VtApi_SetActiveSession(ConsoleSession()) == 0 || VtApi_StopVantor(0) == 0)
            return 20;
        if (VtApi_SetConfigOption(9, 0) == 0 || VtApi_NotifySettingsChange() == 0)
            return 21;
        if (VtApi_ResetMessages() == 0)
            return 22;
        return state.SetStatistic(1, 11) == ERROR_SUCCESS ? 0 : 23;
    }
    if (action == L"fresh-process") {
        // No session set in this process yet: the session's calls must refuse.
        VtStatisticsRecord record = FreshRecord();
        if (VtApi_GetStatistics(&record) != 0 || GetLastError() != ERROR_INVALID_STATE)
            return 30;
        if (VtApi_ClearVirtualData() != 0 || GetLastError() != ERROR_INVALID_STATE)
            return 31;
        if (VtApi_SetActiveSession(ConsoleSession()) == 0)
            return 32;
        return VtApi_GetStatistics(&record) != 0 && VtApi_ClearVirtualData() != 0 ? 0 : 33;
    }
    if (action == L"bump-stats") {
        StatisticsValues values{};
        if (state.GetStatistics(values) != ERROR_SUCCESS)
            return 40;
        return state.SetStatistic(8, values[8] + 1) == ERROR_SUCCESS ? 0 : 41;
    }
    if (action == L"bump-200") {
        uint32_t result = 0;
        for (int i = 0; i < 200; ++i) {
            if (state.AddToStatistic(2, 1, result) != ERROR_SUCCESS)
                return 50;
        }
        return 0;
    }
    return 90;
}

// EngineProcess ACTION: this program started again as a second engine process.
OLV_CHILD_SCENARIO(EngineProcess)
{
    return ChildMain(args.at(0));
}

DWORD RunEngineProcess(const wchar_t* action)
{
    return RunChildScenario("EngineProcess", {action}).exitCode;
}


class VtApi : public EngineSandbox {
protected:
    void SetUp() override
    {
        EngineSandbox::SetUp();
        ASSERT_NE(VtApi_SetActiveSession(ConsoleSession()), 0) << GetLastError();
    }
};

struct CallCase {
    EngineCall call;
    std::function<int32_t()> invoke;
};

std::vector<CallCase> EveryCall()
{
    return {
        {EngineCall::SetActiveSession, [] { return VtApi_SetActiveSession(ConsoleSession()); }},
        {EngineCall::IsVantorStarted, [] { return VtApi_IsVantorStarted(); }},
        {EngineCall::StartVantor, [] { return VtApi_StartVantor(0); }},
        {EngineCall::StopVantor, [] { return VtApi_StopVantor(0); }},
        {EngineCall::GetConfigOption, [] { return VtApi_GetConfigOption(2); }},
        {EngineCall::SetConfigOption, [] { return VtApi_SetConfigOption(3, 1); }},
        {EngineCall::NotifySettingsChange, [] { return VtApi_NotifySettingsChange(); }},
        {EngineCall::ClearVirtualData, [] { return VtApi_ClearVirtualData(); }},
        {EngineCall::ResetMessages, [] { return VtApi_ResetMessages(); }},
        {EngineCall::GetStatistics,
         [] {
             VtStatisticsRecord record = FreshRecord();
             return VtApi_GetStatistics(&record);
         }},
        {EngineCall::QueryVersionInfo,
         [] {
             auto info = FreshVersionInfo(VtVersionInfoCapacity);
             return VtApi_Query_VersionInfo(info.get());
         }},
    };
}

}  // namespace

TEST_F(VtApi, EachFaultSwitchFailsItsOwnCallAndNoOther)
{
    std::vector<CallCase> calls = EveryCall();
    ASSERT_EQ(calls.size(), EngineCallCount);
    FaultSwitch faults(state_);
    for (const CallCase& faulted : calls) {
        SCOPED_TRACE(testing::Message() << "faulted: " << EngineCallName(faulted.call));
        // IsVantorStarted answers 1 only for a running engine.
        ASSERT_EQ(state_.SetRunning(true), ERROR_SUCCESS);
        ASSERT_EQ(faults.SetFail(faulted.call, true), ERROR_SUCCESS);
        SetLastError(0);
        EXPECT_EQ(faulted.invoke(), 0);
        EXPECT_EQ(GetLastError(), FaultInjectedError);
        for (const CallCase& other : calls) {
            if (other.call == faulted.call)
                continue;
            ASSERT_EQ(state_.SetRunning(true), ERROR_SUCCESS);
            EXPECT_NE(other.invoke(), 0) << EngineCallName(other.call) << " error " << GetLastError();
        }
        ASSERT_EQ(state_.SetRunning(true), ERROR_SUCCESS);
        ASSERT_EQ(faults.Clear(faulted.call), ERROR_SUCCESS);
        EXPECT_NE(faulted.invoke(), 0);
    }
}

TEST_F(VtApi, FailedCallChangesNoState)
{
    FaultSwitch faults(state_);
    ASSERT_EQ(state_.SetMessages(3), ERROR_SUCCESS);
    ASSERT_EQ(faults.SetFail(EngineCall::StartVantor, true), ERROR_SUCCESS);
    ASSERT_EQ(faults.SetFail(EngineCall::ResetMessages, true), ERROR_SUCCESS);
    ASSERT_EQ(faults.SetFail(EngineCall::NotifySettingsChange, true), ERROR_SUCCESS);

    EXPECT_EQ(VtApi_StartVantor(0), 0);
    EXPECT_EQ(VtApi_ResetMessages(), 0);
    EXPECT_NE(VtApi_SetConfigOption(4, 0), 0);
    EXPECT_EQ(VtApi_NotifySettingsChange(), 0);

    bool running = true;
    uint32_t messages = 0;
    ASSERT_EQ(state_.GetRunning(running), ERROR_SUCCESS);
    ASSERT_EQ(state_.GetMessages(messages), ERROR_SUCCESS);
    EXPECT_FALSE(running);
    EXPECT_EQ(messages, 3u);
    // The option stays pending until a notification gets through.
    EXPECT_EQ(VtApi_GetConfigOption(4), 1);
    ASSERT_EQ(faults.ClearAll(), ERROR_SUCCESS);
    EXPECT_NE(VtApi_NotifySettingsChange(), 0);
    EXPECT_EQ(VtApi_GetConfigOption(4), 0);
}

TEST_F(VtApi, DelayedCallAnswersNoSoonerThanItsDelayAndThenAsSwitched)
{
    FaultSwitch faults(state_);
    ASSERT_EQ(state_.SetRunning(true), ERROR_SUCCESS);
    ASSERT_EQ(faults.SetDelay(EngineCall::IsVantorStarted, 300), ERROR_SUCCESS);

    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    EXPECT_EQ(VtApi_IsVantorStarted(), 1);
    QueryPerformanceCounter(&end);
    // Windows may wake up to one 15.6 ms tick before the measured time.
    EXPECT_GE((end.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart, 300 - 16);

    ASSERT_EQ(faults.SetFail(EngineCall::IsVantorStarted, true), ERROR_SUCCESS);
    QueryPerformanceCounter(&start);
    EXPECT_EQ(VtApi_IsVantorStarted(), 0);
    QueryPerformanceCounter(&end);
    EXPECT_EQ(GetLastError(), FaultInjectedError);
    EXPECT_GE((end.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart, 300 - 16);
}

TEST_F(VtApi, StoredDelayAboveTheLimitIsCutToTheLimit)
{
    // A hand-edited 0xFFFFFFFF would otherwise hang the caller for ever.
    ASSERT_EQ(state_.WriteDword(EngineState::FaultsKeyPath, L"Delay.VtApi_ResetMessages", 0xFFFFFFFF), ERROR_SUCCESS);
    FaultSetting setting;
    ASSERT_EQ(FaultSwitch(state_).Get(EngineCall::ResetMessages, setting), ERROR_SUCCESS);
    EXPECT_EQ(setting.delayMs, FaultDelayMaxMs);
    EXPECT_EQ(FaultSwitch(state_).SetDelay(EngineCall::ResetMessages, FaultDelayMaxMs + 1), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(FaultSwitch(state_).SetDelay(EngineCall::ResetMessages, FaultDelayMaxMs), ERROR_SUCCESS);
    ASSERT_EQ(FaultSwitch(state_).Get(EngineCall::ResetMessages, setting), ERROR_SUCCESS);
    EXPECT_EQ(setting.delayMs, FaultDelayMaxMs);
}

TEST_F(VtApi, StatisticsRecordOfWrongSizeOrVersionIsRefusedAndLeftUntouched)
{
    ASSERT_EQ(state_.SetStatistic(0, 5), ERROR_SUCCESS);
    struct {
        uint32_t size;
        uint32_t version;
        DWORD error;
    } const cases[] = {
        {0, 1, ERROR_INVALID_PARAMETER},  {40, 1, ERROR_INVALID_PARAMETER}, {43, 1, ERROR_INVALID_PARAMETER},
        {45, 1, ERROR_INVALID_PARAMETER}, {48, 1, ERROR_INVALID_PARAMETER}, {44, 0, ERROR_UNKNOWN_REVISION},
        {44, 2, ERROR_UNKNOWN_REVISION},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "size " << c.size << " version " << c.version);
        VtStatisticsRecord record = {};
        record.size = c.size;
        record.version = c.version;
        record.blockedA = 0xAAAA;
        EXPECT_EQ(VtApi_GetStatistics(&record), 0);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(record.blockedA, 0xAAAAu);
    }
    EXPECT_EQ(VtApi_GetStatistics(nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(VtApi, StatisticsFieldsComeFromTheirOwnValues)
{
    for (std::size_t i = 0; i < StatisticsFieldCount; ++i)
        ASSERT_EQ(state_.SetStatistic(i, static_cast<uint32_t>(100 + i)), ERROR_SUCCESS);
    VtStatisticsRecord record = FreshRecord();
    ASSERT_NE(VtApi_GetStatistics(&record), 0);
    EXPECT_EQ(record.size, 44u);
    EXPECT_EQ(record.version, 1u);
    EXPECT_EQ(record.blockedA, 100u);
    EXPECT_EQ(record.suspicious, 101u);
    EXPECT_EQ(record.blockedC, 102u);
    for (uint32_t i = 0; i < 5; ++i)
        EXPECT_EQ(record.reserved[i], 103u + i);
    EXPECT_EQ(record.harmfulDataSize, 108u);
}

TEST_F(VtApi, VersionInfoFillsAtMostTheGivenCount)
{
    struct {
        std::size_t components;
        uint32_t capacity;
        uint32_t filled;
    } const cases[] = {
        {0, 128, 0}, {2, 128, 2}, {4, 128, 4}, {6, 128, 6}, {6, 4, 4},
        {6, 1, 1},   {6, 0, 0},   {3, 2, 2},   {3, 1000, 3}, {130, 1000, 128},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.components << " components, capacity " << c.capacity);
        std::vector<EngineComponent> components;
        for (std::size_t i = 0; i < c.components; ++i)
            components.push_back({L"Part" + std::to_wstring(i), L"1.0.0." + std::to_wstring(i)});
        ASSERT_EQ(state_.SetComponents(components), ERROR_SUCCESS);

        auto info = FreshVersionInfo(c.capacity);
        // A marker behind the last entry to be filled shows that nothing more is written.
        if (c.filled < VtVersionInfoCapacity)
            info->entries[c.filled].version[0] = L'#';
        ASSERT_NE(VtApi_Query_VersionInfo(info.get()), 0);
        EXPECT_EQ(info->count, c.filled);
        for (uint32_t i = 0; i < c.filled; ++i)
            EXPECT_EQ(std::wstring(info->entries[i].version), L"1.0.0." + std::to_wstring(i));
        if (c.filled < VtVersionInfoCapacity) {
            EXPECT_EQ(info->entries[c.filled].version[0], L'#');
        }
    }
}

TEST_F(VtApi, VersionInfoWithoutStoredListReportsTheDefaultComponentsWithTheirNames)
{
    auto info = FreshVersionInfo(VtVersionInfoCapacity);
    ASSERT_NE(VtApi_Query_VersionInfo(info.get()), 0);
    std::vector<EngineComponent> defaults = ComponentList::Defaults();
    ASSERT_EQ(info->count, defaults.size());
    for (std::size_t i = 0; i < defaults.size(); ++i) {
        EXPECT_EQ(std::wstring(info->entries[i].version), defaults[i].version);
        EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(info->entries[i].opaque)), defaults[i].name);
    }
}

TEST_F(VtApi, OverlongStoredVersionIsCutAndStaysTerminated)
{
    std::wstring longVersion(300, L'7');
    // Written as a tool that does not check lengths would write it.
    ASSERT_EQ(state_.SetComponents({{L"Engine", longVersion}}), ERROR_SUCCESS);
    auto info = FreshVersionInfo(VtVersionInfoCapacity);
    ASSERT_NE(VtApi_Query_VersionInfo(info.get()), 0);
    ASSERT_EQ(info->count, 1u);
    EXPECT_EQ(info->entries[0].version[127], L'\0');
    EXPECT_EQ(std::wstring(info->entries[0].version), std::wstring(127, L'7'));
}

TEST_F(VtApi, SetActiveSessionAcceptsOnlySessionsWithAUser)
{
    EXPECT_EQ(VtApi_SetActiveSession(0xFFFFFFFF), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    uint32_t other = ConsoleSession() + 5;
    EXPECT_EQ(VtApi_SetActiveSession(other), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_LOGON_SESSION));

    ASSERT_EQ(state_.SetSessions({other, 0}), ERROR_SUCCESS);
    EXPECT_NE(VtApi_SetActiveSession(other), 0);
    EXPECT_NE(VtApi_SetActiveSession(0), 0);
    EXPECT_NE(VtApi_SetActiveSession(ConsoleSession()), 0);
}

TEST_F(VtApi, SettingASessionOrStartingCreatesTheStatsKeyForWatchers)
{
    const std::function<int32_t()> creators[] = {
        [] { return VtApi_SetActiveSession(ConsoleSession()); },
        [] { return VtApi_StartVantor(0); },
    };
    UniqueKey root;
    ASSERT_EQ(RegOpenCurrentUser(KEY_READ, root.put()), ERROR_SUCCESS);
    for (const auto& create : creators) {
        ASSERT_EQ(state_.Remove(), ERROR_SUCCESS);
        UniqueKey stats;
        ASSERT_EQ(RegOpenKeyExW(root.get(), EngineState::StatsKeyPath, 0, KEY_NOTIFY, stats.put()), ERROR_FILE_NOT_FOUND);
        ASSERT_NE(create(), 0);
        EXPECT_EQ(RegOpenKeyExW(root.get(), EngineState::StatsKeyPath, 0, KEY_NOTIFY, stats.put()), ERROR_SUCCESS);
    }
}

TEST_F(VtApi, SessionCallsFailInAProcessThatSetNoSession)
{
    EXPECT_EQ(RunEngineProcess(L"fresh-process"), 0u);
}

TEST_F(VtApi, OptionsSetWaitForNotifySettingsChange)
{
    EXPECT_EQ(VtApi_GetConfigOption(7), EngineState::DefaultOptionValue);
    EXPECT_NE(VtApi_SetConfigOption(7, 0), 0);
    EXPECT_NE(VtApi_SetConfigOption(8, 0), 0);
    EXPECT_EQ(VtApi_GetConfigOption(7), 1);
    EXPECT_NE(VtApi_NotifySettingsChange(), 0);
    EXPECT_EQ(VtApi_GetConfigOption(7), 0);
    EXPECT_EQ(VtApi_GetConfigOption(8), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));

    uint32_t applied = 0;
    ASSERT_EQ(state_.GetSettingsApplied(applied), ERROR_SUCCESS);
    EXPECT_EQ(applied, 1u);
}

TEST_F(VtApi, OptionIdsOutsideOneToElevenAreRefused)
{
    for (int32_t id : {0, -1, 12, 1000}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(VtApi_GetConfigOption(id), 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(VtApi_SetConfigOption(id, 1), 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_NE(VtApi_SetConfigOption(1, 0), 0);
    EXPECT_NE(VtApi_SetConfigOption(11, 0), 0);
}

TEST_F(VtApi, StartAndStopSetTheRunningFlagAndRefuseANonZeroArgument)
{
    EXPECT_EQ(VtApi_IsVantorStarted(), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_NE(VtApi_StartVantor(0), 0);
    EXPECT_EQ(VtApi_IsVantorStarted(), 1);
    EXPECT_EQ(VtApi_StopVantor(1), 0);
    EXPECT_EQ(VtApi_IsVantorStarted(), 1);
    EXPECT_NE(VtApi_StopVantor(0), 0);
    EXPECT_EQ(VtApi_IsVantorStarted(), 0);
    EXPECT_EQ(VtApi_StartVantor(-1), 0);
    EXPECT_EQ(VtApi_IsVantorStarted(), 0);
}

TEST_F(VtApi, ClearVirtualDataEmptiesTheFolderAndKeepsIt)
{
    VirtualDataFolder folder(folder_);
    ASSERT_EQ(folder.Fill(3), ERROR_SUCCESS);
    ASSERT_TRUE(CreateDirectoryW((folder_ + L"\\nested").c_str(), nullptr));
    HANDLE file = CreateFileW((folder_ + L"\\nested\\deep.dat").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_READONLY, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);

    EXPECT_NE(VtApi_ClearVirtualData(), 0) << GetLastError();
    unsigned count = 99;
    ASSERT_EQ(folder.CountEntries(count), ERROR_SUCCESS);
    EXPECT_EQ(count, 0u);
    EXPECT_NE(GetFileAttributesW(folder_.c_str()), INVALID_FILE_ATTRIBUTES);
    // A folder that is not there holds nothing to clear.
    ASSERT_TRUE(RemoveDirectoryW(folder_.c_str()));
    EXPECT_NE(VtApi_ClearVirtualData(), 0);
}

TEST_F(VtApi, ClearVirtualDataRefusesADriveRootStoredAsItsFolder)
{
    wchar_t windows[MAX_PATH + 1] = {};
    ASSERT_GT(GetWindowsDirectoryW(windows, MAX_PATH + 1), 2u);
    std::wstring root = std::wstring(windows, 3);  // "C:\"
    // SetVirtualDataPath takes any text; only the engine's clearing refuses it.
    ASSERT_EQ(state_.SetVirtualDataPath(root), ERROR_SUCCESS);
    EXPECT_EQ(VtApi_ClearVirtualData(), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_PATHNAME));
    EXPECT_NE(GetFileAttributesW(windows), INVALID_FILE_ATTRIBUTES);
}

TEST_F(VtApi, ResetMessagesZeroesTheWaitingMessages)
{
    ASSERT_EQ(state_.SetMessages(12), ERROR_SUCCESS);
    EXPECT_NE(VtApi_ResetMessages(), 0);
    uint32_t messages = 99;
    ASSERT_EQ(state_.GetMessages(messages), ERROR_SUCCESS);
    EXPECT_EQ(messages, 0u);
}

TEST_F(VtApi, StateWrittenByOneProcessIsSeenByAnother)
{
    ASSERT_NE(VtApi_StartVantor(0), 0);
    ASSERT_NE(VtApi_SetConfigOption(5, 0), 0);
    ASSERT_NE(VtApi_NotifySettingsChange(), 0);
    ASSERT_EQ(state_.SetStatistic(0, 7), ERROR_SUCCESS);
    ASSERT_EQ(state_.SetStatistic(8, 4096), ERROR_SUCCESS);
    ASSERT_EQ(state_.SetComponents({{L"Engine", L"9.9.9.9"}}), ERROR_SUCCESS);
    EXPECT_EQ(RunEngineProcess(L"read-state"), 0u);

    ASSERT_EQ(state_.SetMessages(4), ERROR_SUCCESS);
    ASSERT_EQ(RunEngineProcess(L"write-state"), 0u);
    EXPECT_EQ(VtApi_IsVantorStarted(), 0);
    EXPECT_EQ(VtApi_GetConfigOption(9), 0);
    VtStatisticsRecord record = FreshRecord();
    ASSERT_NE(VtApi_GetStatistics(&record), 0);
    EXPECT_EQ(record.suspicious, 11u);
    uint32_t messages = 99;
    ASSERT_EQ(state_.GetMessages(messages), ERROR_SUCCESS);
    EXPECT_EQ(messages, 0u);
}

TEST_F(VtApi, StatisticsChangeInAnotherProcessSignalsTheWatchedStatsKey)
{
    ASSERT_EQ(state_.EnsureStatsKey(), ERROR_SUCCESS);
    KeyWatch stats(state_, EngineState::StatsKeyPath);
    KeyWatch base(state_, EngineState::BaseKeyPath, false);
    ASSERT_TRUE(stats.Armed() && base.Armed());
    // State outside "Stats" is not the watcher's business: once the change is
    // told to a watcher of its own key, the one of "Stats" has heard nothing.
    ASSERT_NE(VtApi_SetConfigOption(2, 0), 0);
    ASSERT_NE(VtApi_NotifySettingsChange(), 0);
    ASSERT_TRUE(base.Fired());
    EXPECT_FALSE(stats.Fired(0));

    ASSERT_EQ(RunEngineProcess(L"bump-stats"), 0u);
    EXPECT_TRUE(stats.Fired());

    // Fires once per arming: the second change is seen after re-arming.
    ASSERT_TRUE(stats.Arm());
    ASSERT_EQ(RunEngineProcess(L"bump-stats"), 0u);
    EXPECT_TRUE(stats.Fired());

    StatisticsValues values{};
    ASSERT_EQ(state_.GetStatistics(values), ERROR_SUCCESS);
    EXPECT_EQ(values[8], 2u);
}

TEST_F(VtApi, CountersBumpedByTwoProcessesAtOnceLoseNoUpdate)
{
    RunningProcess children[2] = {StartChildScenario("EngineProcess", {L"bump-200"}),
                                  StartChildScenario("EngineProcess", {L"bump-200"})};
    for (RunningProcess& child : children)
        EXPECT_EQ(child.Finish(60000).exitCode, 0u);
    StatisticsValues values{};
    ASSERT_EQ(state_.GetStatistics(values), ERROR_SUCCESS);
    EXPECT_EQ(values[2], 400u);
}

TEST_F(VtApi, ImpersonatingThreadReachesTheSameUsersState)
{
    ASSERT_NE(VtApi_StartVantor(0), 0);
    ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation)) << GetLastError();
    HANDLE token = nullptr;
    bool impersonating = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token);
    if (token)
        CloseHandle(token);
    int32_t started = VtApi_IsVantorStarted();
    int32_t stopped = VtApi_StopVantor(0);
    RevertToSelf();
    EXPECT_TRUE(impersonating);
    EXPECT_EQ(started, 1);
    EXPECT_NE(stopped, 0);
    EXPECT_EQ(VtApi_IsVantorStarted(), 0);
}
