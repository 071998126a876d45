// The client and its user interface in two processes, as in the product: this
// test executable is started again as the session's user interface (the
// scenario UserInterface), which prints what it receives while it drives the
// client through one session.
#include "plugin/tests/ClientTestSupport.h"

#include "contracts/RuxExtensions.h"
#include "tests/support/ChildScenario.h"
#include "vtapi/EngineState.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

using namespace clienttest;
using namespace testsupport;

namespace {

std::wstring EventName(const wchar_t* what)
{
    return std::wstring(L"OlvClientTest-") + what + L"-" + std::to_wstring(GetCurrentProcessId());
}

void Print(const UiMessage& message)
{
    std::printf("%d %s\n", message.kind, message.text.c_str());
}

// The user interface's side of one session; 0, or the step that failed.
int ServeOneSession(HANDLE ready, HANDLE pushed)
{
    UiSink ui(SessionSinkName());
    UiSink dialog("UiDialog", "Answers");
    if (!ui.Started() || !dialog.Started())
        return 2;
    SetEvent(ready);

    UiMessage message;
    if (!ui.NextOfKind(RuxResult_Advise, message, 20000))
        return 3;
    Print(message);

    if (!SendQuery("RequestSBSetting", nullptr, "from-ui", "UiDialog", "Answers") ||
        !dialog.NextOfKind(RuxResult_Reply, message, 20000))
        return 4;
    Print(message);

    if (!SendCall(RuxBuildItem("{s:s,s:b}", "proc", "Enable", "arg", 0)) ||
        !ui.NextOfKind(RuxResult_Advise, message, 20000))
        return 5;
    Print(message);
    SetEvent(pushed);

    // The host asks for the dialog, then destroys the client.
    for (int step = 6; step <= 7; ++step) {
        if (!ui.Next(message, 20000))
            return step;
        Print(message);
    }
    return 0;
}

}  // namespace

// UserInterface READY_EVENT PUSHED_EVENT: sets READY once its sinks run and
// PUSHED after the push that follows its "Enable" call.
OLV_CHILD_SCENARIO(UserInterface)
{
    UniqueEvent ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, args.at(0).c_str()));
    UniqueEvent pushed(OpenEventW(EVENT_MODIFY_STATE, FALSE, args.at(1).c_str()));
    if (!ready.valid() || !pushed.valid())
        return 1;
    RuxInit();
    int result = ServeOneSession(ready.get(), pushed.get());
    RuxExit();
    return result;
}

using ClientProcess = EngineSandbox;

TEST_F(ClientProcess, UserInterfaceInAnotherProcessSeesOneWholeSession)
{
    ASSERT_EQ(EngineState().SetRunning(true), static_cast<DWORD>(ERROR_SUCCESS));
    std::vector<EngineComponent> components = {{L"Core", L"3.1.0.2"}, {L"SpyScan", L"7.0"}};
    ASSERT_EQ(EngineState().SetComponents(components), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(EngineState().SetStatistic(1, 4), static_cast<DWORD>(ERROR_SUCCESS));

    UniqueEvent ready(CreateEventW(nullptr, TRUE, FALSE, EventName(L"ready").c_str()));
    UniqueEvent pushed(CreateEventW(nullptr, TRUE, FALSE, EventName(L"pushed").c_str()));
    ASSERT_TRUE(ready.valid());
    ASSERT_TRUE(pushed.valid());
    RunningProcess child =
        StartChildScenario("UserInterface", {EventName(L"ready"), EventName(L"pushed")}, DropCarriageReturns);
    ASSERT_TRUE(child.WaitForEvent(ready.get(), 20000)) << "the UI did not start";

    RuxInit();
    {
        HostedClient client;
        client->StartWorker();
        EXPECT_TRUE(child.WaitForEvent(pushed.get(), 20000));
        EXPECT_EQ(client->Perform(), 0);
        client.Destroy();
    }
    RuxExit();
    ProcessResult result = child.Finish();
    EXPECT_EQ(result.exitCode, 0u) << result.err;

    std::vector<std::string> lines;
    std::istringstream in(result.out);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
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
