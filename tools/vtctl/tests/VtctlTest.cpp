// vtctl as a real process: what it changes is what the engine API then reports.
#include "vtapi/tests/EngineSandbox.h"

#include "contracts/VtApi.h"
#include "vtapi/FaultSwitch.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct ToolRun {
    int exitCode = -1;
    std::string output;
};

// Runs vtctl with the arguments (each quoted), output and errors into one
// file; waits at most 30 s.
ToolRun RunVtctl(const std::vector<std::wstring>& args)
{
    ToolRun run;
    wchar_t self[MAX_PATH + 1] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring folder = self;
    folder = folder.substr(0, folder.find_last_of(L"\\/") + 1);
    std::wstring exe = folder + L"vtctl.exe";
    std::wstring outPath = sandbox::UniqueTempFolder(L"vtctl-out") + L".txt";

    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE out = CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    EXPECT_NE(out, INVALID_HANDLE_VALUE);
    std::wstring commandLine = L"\"" + exe + L"\"";
    for (const std::wstring& arg : args)
        commandLine += L" \"" + arg + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = out;
    PROCESS_INFORMATION process = {};
    if (CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        CloseHandle(process.hThread);
        if (WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0) {
            DWORD code = 0;
            GetExitCodeProcess(process.hProcess, &code);
            run.exitCode = static_cast<int>(code);
        } else {
            TerminateProcess(process.hProcess, 99);
        }
        CloseHandle(process.hProcess);
    }
    CloseHandle(out);
    std::ifstream in(outPath.c_str(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    run.output = text.str();
    in.close();
    DeleteFileW(outPath.c_str());
    return run;
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
        {L"virtual", L"path", L"C:\\"},
    };
    for (const auto& args : cases) {
        std::wstring joined;
        for (const auto& arg : args)
            joined += arg + L" ";
        SCOPED_TRACE(testing::PrintToString(joined));
        ToolRun run = RunVtctl(args);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(run.output.rfind("vtctl: ", 0), 0u) << run.output;
        EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
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
        {L"stats", L"set", L"BlockedC", L"9"},
        {L"stats", L"bump", L"HarmfulDataSize", L"5"},
        {L"stats", L"bump"},
        {L"components", L"set", L"Engine=5.0", L"SpyScan=6.0"},
        {L"fault", L"set", L"ResetMessages", L"fail", L"delay", L"1"},
    };
    for (const auto& args : commands) {
        ToolRun run = RunVtctl(args);
        EXPECT_EQ(run.exitCode, 0) << run.output;
    }
    EXPECT_EQ(VtApi_IsVantorStarted(), 1);
    EXPECT_EQ(VtApi_GetConfigOption(10), 0);
    EXPECT_EQ(VtApi_GetConfigOption(4), -3);
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
    EXPECT_EQ(RunVtctl({L"fault", L"set", L"ResetMessages", L"delay", L"1"}).exitCode, 0);
    FaultSetting setting;
    ASSERT_EQ(FaultSwitch(state_).Get(EngineCall::ResetMessages, setting), ERROR_SUCCESS);
    EXPECT_FALSE(setting.fail);
    EXPECT_EQ(setting.delayMs, 1u);
    EXPECT_EQ(RunVtctl({L"fault", L"set", L"ResetMessages"}).exitCode, 0);
    ASSERT_EQ(FaultSwitch(state_).Get(EngineCall::ResetMessages, setting), ERROR_SUCCESS);
    EXPECT_TRUE(setting.fail);
    EXPECT_EQ(setting.delayMs, 0u);
    EXPECT_EQ(RunVtctl({L"fault", L"clear", L"resetmessages"}).exitCode, 0);
    EXPECT_NE(VtApi_ResetMessages(), 0);
    ToolRun status = RunVtctl({L"status"});
    EXPECT_EQ(status.exitCode, 0);
    EXPECT_NE(status.output.find("engine:            running"), std::string::npos) << status.output;

    EXPECT_EQ(RunVtctl({L"reset"}).exitCode, 0);
    UniqueKey root;
    UniqueKey base;
    ASSERT_EQ(RegOpenCurrentUser(KEY_READ, root.put()), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExW(root.get(), EngineState::BaseKeyPath, 0, KEY_READ, base.put()), ERROR_FILE_NOT_FOUND);
}

TEST_F(Vtctl, StatsBumpSignalsAWatcherOfTheStatsKey)
{
    ASSERT_EQ(state_.EnsureStatsKey(), ERROR_SUCCESS);
    UniqueKey root;
    UniqueKey stats;
    ASSERT_EQ(RegOpenCurrentUser(KEY_READ, root.put()), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExW(root.get(), EngineState::StatsKeyPath, 0, KEY_NOTIFY, stats.put()), ERROR_SUCCESS);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    ASSERT_EQ(RegNotifyChangeKeyValue(stats.get(), TRUE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET, event, TRUE),
              ERROR_SUCCESS);
    EXPECT_EQ(RunVtctl({L"stats", L"bump", L"Suspicious"}).exitCode, 0);
    EXPECT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
    CloseHandle(event);
}
