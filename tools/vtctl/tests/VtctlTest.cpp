// vtctl as a real process: what it changes is what the engine API then reports.
#include "contracts/VtApi.h"
#include "tests/support/EngineSandbox.h"
#include "tests/support/ProcessRun.h"
#include "vtapi/FaultSwitch.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

// vtctl with the arguments, output and errors in one text.
ProcessResult RunVtctl(const std::vector<std::wstring>& args)
{
    return RunProcess(BesideTestProgram(L"vtctl.exe"), args, {}, DefaultProcessTimeoutMs, ErrorsToOutput);
}

}  // namespace

using Vtctl = EngineSandbox;

TEST_F(Vtctl, BadArgumentsGiveOneErrorLineAndExitCodeTwo)
{
    const std::vector<std::vector<std::wstring>> cases = {
        {},
        {L"bogus"},
        {L"status", L"extra"},
        {L"option", L"get", L"12"},
        {L"option", L"set", L"EnableScanSpyX", L"1"},
        {L"option", L"set", L"5", L"maybe"},
        {L"option", L"set", L"5", L"2147483648"},
        {L"option", L"set", L"5", L"-2147483649"},
        {L"stats", L"set", L"BlockedD", L"1"},
        {L"stats", L"set", L"BlockedA", L"-1"},
        {L"stats", L"bump", L"BlockedA", L"0"},
        {L"stats", L"bump", L"BlockedA", L"1", L"2"},
        {L"components", L"set", L"NoEquals"},
        {L"components", L"set"},
        {L"fault", L"set", L"NoSuchCall"},
        {L"fault", L"set", L"GetStatistics", L"delay"},
        {L"fault", L"set", L"GetStatistics", L"delay", L"600001"},
        {L"sessions", L"set", L"4294967295"},
        {L"messages", L"set", L"4294967296"},
        {L"virtual", L"path", L"C:\\"},
        {L"virtual", L"fill", L"10001"},
    };
    for (const auto& args : cases) {
        std::wstring joined;
        for (const auto& arg : args)
            joined += arg + L" ";
        SCOPED_TRACE(testing::PrintToString(joined));
        ProcessResult run = RunVtctl(args);
        EXPECT_EQ(run.exitCode, 2u);
        EXPECT_EQ(run.out.rfind("vtctl: ", 0), 0u) << run.out;
        EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
    }
    // Nothing of the refused commands reached the state.
    StatisticsValues values{};
    ASSERT_EQ(state_.GetStatistics(values), ERROR_SUCCESS);
    EXPECT_EQ(values, StatisticsValues{});
}

TEST_F(Vtctl, ChangesAreWhatTheEngineReportsNext)
{
    ASSERT_NE(VtApi_SetActiveSession(WTSGetActiveConsoleSessionId()), 0);
    const std::vector<std::vector<std::wstring>> commands = {
        {L"start"},
        {L"option", L"set", L"enablescanspy", L"off"},
        {L"option", L"set", L"4", L"-3"},
        {L"option", L"set", L"5", L"-2147483648"},
        {L"option", L"set", L"6", L"2147483647"},
        {L"messages", L"set", L"4294967295"},
        {L"stats", L"set", L"BlockedC", L"9"},
        {L"stats", L"bump", L"HarmfulDataSize", L"5"},
        {L"stats", L"bump"},
        {L"components", L"set", L"Engine=5.0", L"SpyScan=6.0"},
        {L"fault", L"set", L"ResetMessages", L"fail", L"delay", L"1"},
    };
    for (const auto& args : commands) {
        ProcessResult run = RunVtctl(args);
        EXPECT_EQ(run.exitCode, 0u) << run.out;
    }
    EXPECT_EQ(VtApi_IsVantorStarted(), 1);
    EXPECT_EQ(VtApi_GetConfigOption(10), 0);
    EXPECT_EQ(VtApi_GetConfigOption(4), -3);
    EXPECT_EQ(VtApi_GetConfigOption(5), INT32_MIN);
    EXPECT_EQ(VtApi_GetConfigOption(6), INT32_MAX);
    uint32_t messages = 0;
    ASSERT_EQ(state_.GetMessages(messages), ERROR_SUCCESS);
    EXPECT_EQ(messages, UINT32_MAX);
    VtStatisticsRecord record = {44, 1, {}, 0, 0, {}, 0};
    ASSERT_NE(VtApi_GetStatistics(&record), 0);
    EXPECT_EQ(record.blockedA, 1u);
    EXPECT_EQ(record.blockedC, 9u);
    EXPECT_EQ(record.harmfulDataSize, 5u);
    auto info = std::make_unique<VtVersionInfo>();
    std::memset(info.get(), 0, sizeof(VtVersionInfo));
    info->count = VtVersionInfoCapacity;
    ASSERT_NE(VtApi_Query_VersionInfo(info.get()), 0);
    ASSERT_EQ(info->count, 2u);
    EXPECT_EQ(std::wstring(info->entries[1].version), L"6.0");
    EXPECT_EQ(VtApi_ResetMessages(), 0);
    EXPECT_EQ(GetLastError(), FaultInjectedError);

    // A new setting replaces both switches: the failure goes, the delay stays 1 ms.
    EXPECT_EQ(RunVtctl({L"fault", L"set", L"ResetMessages", L"delay", L"1"}).exitCode, 0u);
    FaultSetting setting;
    ASSERT_EQ(FaultSwitch(state_).Get(EngineCall::ResetMessages, setting), ERROR_SUCCESS);
    EXPECT_FALSE(setting.fail);
    EXPECT_EQ(setting.delayMs, 1u);
    EXPECT_EQ(RunVtctl({L"fault", L"set", L"ResetMessages"}).exitCode, 0u);
    ASSERT_EQ(FaultSwitch(state_).Get(EngineCall::ResetMessages, setting), ERROR_SUCCESS);
    EXPECT_TRUE(setting.fail);
    EXPECT_EQ(setting.delayMs, 0u);
    // The longest delay a call honours is taken as it is.
    EXPECT_EQ(RunVtctl({L"fault", L"set", L"ClearVirtualData", L"delay", L"600000"}).exitCode, 0u);
    ASSERT_EQ(FaultSwitch(state_).Get(EngineCall::ClearVirtualData, setting), ERROR_SUCCESS);
    EXPECT_EQ(setting.delayMs, FaultDelayMaxMs);
    EXPECT_EQ(RunVtctl({L"fault", L"clear", L"ClearVirtualData"}).exitCode, 0u);
    EXPECT_EQ(RunVtctl({L"fault", L"clear", L"resetmessages"}).exitCode, 0u);
    EXPECT_NE(VtApi_ResetMessages(), 0);
    ProcessResult status = RunVtctl({L"status"});
    EXPECT_EQ(status.exitCode, 0u);
    EXPECT_NE(status.out.find("engine:            running"), std::string::npos) << status.out;

    EXPECT_EQ(RunVtctl({L"reset"}).exitCode, 0u);
    UniqueKey root;
    UniqueKey base;
    ASSERT_EQ(RegOpenCurrentUser(KEY_READ, root.put()), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExW(root.get(), EngineState::BaseKeyPath, 0, KEY_READ, base.put()), ERROR_FILE_NOT_FOUND);
}

TEST_F(Vtctl, StatsBumpSignalsAWatcherOfTheStatsKey)
{
    ASSERT_EQ(state_.EnsureStatsKey(), ERROR_SUCCESS);
    KeyWatch stats(state_, EngineState::StatsKeyPath);
    ASSERT_TRUE(stats.Armed());
    EXPECT_EQ(RunVtctl({L"stats", L"bump", L"Suspicious"}).exitCode, 0u);
    EXPECT_TRUE(stats.Fired());
}
