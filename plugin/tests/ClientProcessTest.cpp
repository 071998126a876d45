// The client and its user interface in two processes, as in the product: this
// test executable is started again as the session's user interface
// (UiProcess.ServeOneSession, enabled by OLV_UI_CHILD), which records what it
// receives while it drives the client through one session.
#include "plugin/tests/ClientTestSupport.h"

#include "rux/RuxExtensions.h"
#include "vtapi/EngineState.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace clienttest;

namespace {

constexpr const wchar_t* ChildVariable = L"OLV_UI_CHILD";

std::wstring EventName(const wchar_t* what, DWORD parentId)
{
    return std::wstring(L"OlvClientTest-") + what + L"-" + std::to_wstring(parentId);
}

std::string Describe(const UiMessage& message)
{
    return std::to_string(message.kind) + " " + message.text;
}

}  // namespace

// The user interface's side. Skipped unless this process was started as the
// child; its results go to the file that the variable names.
TEST(UiProcess, ServeOneSession)
{
    wchar_t value[MAX_PATH] = {};
    if (GetEnvironmentVariableW(ChildVariable, value, MAX_PATH) == 0)
        GTEST_SKIP() << "runs only as the child of ClientProcess tests";
    std::wstring resultsPath = value;
    DWORD parentId = 0;
    {
        wchar_t parent[32] = {};
        GetEnvironmentVariableW(L"OLV_UI_PARENT", parent, 32);
        parentId = static_cast<DWORD>(_wtoi(parent));
    }
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, EventName(L"ready", parentId).c_str());
    HANDLE pushed = OpenEventW(EVENT_MODIFY_STATE, FALSE, EventName(L"pushed", parentId).c_str());
    ASSERT_NE(ready, nullptr);
    ASSERT_NE(pushed, nullptr);

    RuxInit();
    std::vector<std::string> results;
    {
        UiSink ui(SessionSinkName());
        UiSink dialog("UiDialog", "Answers");
        ASSERT_TRUE(ui.Started());
        ASSERT_TRUE(dialog.Started());
        SetEvent(ready);

        UiMessage message;
        ASSERT_TRUE(ui.NextOfKind(RuxResult_Advise, message, 20000));
        results.push_back(Describe(message));

        ASSERT_TRUE(SendQuery("RequestSBSetting", nullptr, "from-ui", "UiDialog", "Answers"));
        ASSERT_TRUE(dialog.NextOfKind(RuxResult_Reply, message, 20000));
        results.push_back(Describe(message));

        ASSERT_TRUE(SendCall(RuxBuildItem("{s:s,s:b}", "proc", "Enable", "arg", 0)));
        ASSERT_TRUE(ui.NextOfKind(RuxResult_Advise, message, 20000));
        results.push_back(Describe(message));
        SetEvent(pushed);

        // The host asks for the dialog, then destroys the client.
        ASSERT_TRUE(ui.Next(message, 20000));
        results.push_back(Describe(message));
        ASSERT_TRUE(ui.Next(message, 20000));
        results.push_back(Describe(message));
    }
    RuxExit();
    CloseHandle(ready);
    CloseHandle(pushed);

    std::ofstream out(std::filesystem::path(resultsPath), std::ios::binary);
    for (const std::string& line : results)
        out << line << "\n";
}

TEST(ClientProcess, UserInterfaceInAnotherProcessSeesOneWholeSession)
{
    EngineStateReset engine;
    ASSERT_EQ(EngineState().SetRunning(true), static_cast<DWORD>(ERROR_SUCCESS));
    std::vector<EngineComponent> components = {{L"Core", L"3.1.0.2"}, {L"SpyScan", L"7.0"}};
    ASSERT_EQ(EngineState().SetComponents(components), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(EngineState().SetStatistic(1, 4), static_cast<DWORD>(ERROR_SUCCESS));

    DWORD self = GetCurrentProcessId();
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, EventName(L"ready", self).c_str());
    HANDLE pushed = CreateEventW(nullptr, TRUE, FALSE, EventName(L"pushed", self).c_str());
    ASSERT_NE(ready, nullptr);
    ASSERT_NE(pushed, nullptr);

    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring resultsPath = std::wstring(temp) + L"olv-ui-child-" + std::to_wstring(self) + L".txt";
    DeleteFileW(resultsPath.c_str());
    SetEnvironmentVariableW(ChildVariable, resultsPath.c_str());
    SetEnvironmentVariableW(L"OLV_UI_PARENT", std::to_wstring(self).c_str());

    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(exe) + L"\" --gtest_filter=UiProcess.ServeOneSession";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    BOOL started = CreateProcessW(exe, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                  &child);
    SetEnvironmentVariableW(ChildVariable, nullptr);
    SetEnvironmentVariableW(L"OLV_UI_PARENT", nullptr);
    ASSERT_TRUE(started) << GetLastError();
    CloseHandle(child.hThread);

    HANDLE startedOrGone[2] = {ready, child.hProcess};
    ASSERT_EQ(WaitForMultipleObjects(2, startedOrGone, FALSE, 20000), WAIT_OBJECT_0) << "the UI did not start";

    RuxInit();
    {
        HostedClient client;
        client->StartWorker();
        HANDLE pushedOrGone[2] = {pushed, child.hProcess};
        EXPECT_EQ(WaitForMultipleObjects(2, pushedOrGone, FALSE, 20000), WAIT_OBJECT_0);
        EXPECT_EQ(client->Perform(), 0);
        client.Destroy();
    }
    RuxExit();

    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(child.hProcess, 30000) == WAIT_OBJECT_0)
        GetExitCodeProcess(child.hProcess, &code);
    else
        TerminateProcess(child.hProcess, STILL_ACTIVE);
    CloseHandle(child.hProcess);
    CloseHandle(ready);
    CloseHandle(pushed);
    EXPECT_EQ(code, 0u);

    std::vector<std::string> lines;
    {
        std::ifstream in(std::filesystem::path(resultsPath), std::ios::binary);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
    }
    DeleteFileW(resultsPath.c_str());
    const std::string advise = std::to_string(RuxResult_Advise) + " ";
    const std::vector<std::string> expected = {
        advise + "{Status:1,Version:\"3.1.0.2\",SpyScanVersion:\"7.0\",PhishingDBVersion:\"0.0.0.0\","
                 "SiteDBVersion:\"0.0.0.0\",HarmfulDataSize:0,TotalSuspiciousBlocked:4}",
        std::to_string(RuxResult_Reply) +
            " {proc:\"RequestSBSetting\",cookie:\"from-ui\",result:{EnableAutoUpdate:true,EnableSiteStatusCheck:true,"
            "EnableAntiphishingSig:true,EnableAntiphishingHeuristic:true,EnableBlockSpySite:true,"
            "EnableCheckFileDownload:true,EnableCheckKeystrokes:true,KeystrokeSetting:true,EnableScanSpy:true,"
            "EnableVirtual:true}}",
        advise + "{Status:0,Version:\"3.1.0.2\",SpyScanVersion:\"7.0\",PhishingDBVersion:\"0.0.0.0\","
                 "SiteDBVersion:\"0.0.0.0\",HarmfulDataSize:0,TotalSuspiciousBlocked:4}",
        std::to_string(RuxResult_Call) + " \"ShowSBSettingDialog\"",
        std::to_string(RuxResult_Update) + " {Status:0}",
    };
    EXPECT_EQ(lines, expected);
    EXPECT_TRUE(WaitNoLiveClients());
}
