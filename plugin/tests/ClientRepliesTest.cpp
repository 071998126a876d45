// The client's answers to queries and its shutdown, with callers that do not
// play fair: reply sinks that stall, a reply address of another user or
// session, a slow engine. The reply sinks that stall are raw pipes of another
// process of the user (this test program again), as a hostile process of the
// console user would serve them.
#include "plugin/tests/ClientTestSupport.h"

#include "contracts/RuxExtensions.h"
#include "tests/support/ChildScenario.h"
#include "vtapi/EngineState.h"
#include "vtapi/FaultSwitch.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>
#include <vector>

using namespace clienttest;
using namespace testsupport;

namespace {

std::wstring Wide(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

// A raw server of a sink's name, one client at a time, whose pipe its user
// owns (as any process may own its objects): a client of that user trusts it.
// It feeds each client a byte every second, or never answers at all.
class StallingSink {
public:
    StallingSink(const std::string& name, bool drip, HANDLE quit)
        : path_(L"\\\\.\\pipe\\Rux.Sink." + Wide(name)), drip_(drip), quit_(quit), thread_([this] { Serve(); })
    {
    }
    ~StallingSink() { thread_.join(); }  // after `quit` is set
    StallingSink(const StallingSink&) = delete;
    StallingSink& operator=(const StallingSink&) = delete;

private:
    // Waits for the overlapped operation or the quit event; false on quit.
    bool Await(HANDLE pipe, OVERLAPPED& overlapped, BOOL started)
    {
        if (!started && GetLastError() != ERROR_IO_PENDING)
            return true;
        HANDLE waits[2] = {overlapped.hEvent, quit_};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0)
            return true;
        CancelIoEx(pipe, &overlapped);
        DWORD bytes = 0;
        GetOverlappedResult(pipe, &overlapped, &bytes, TRUE);
        return false;
    }

    void Serve()
    {
        HANDLE token = nullptr;
        OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
        unsigned char user[256];
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, user, sizeof user, &size);
        CloseHandle(token);
        SECURITY_DESCRIPTOR descriptor;
        InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorOwner(&descriptor, reinterpret_cast<TOKEN_USER*>(user)->User.Sid, FALSE);
        SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
        SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
        OVERLAPPED overlapped = {};
        overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        for (bool serving = true; serving;) {
            HANDLE pipe = CreateNamedPipeW(path_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE,
                                           1, 4096, 4096, 0, &attributes);
            if (pipe == INVALID_HANDLE_VALUE)
                break;
            ResetEvent(overlapped.hEvent);
            serving = Await(pipe, overlapped, ConnectNamedPipe(pipe, &overlapped));
            char buffer[4096];
            DWORD bytes = 0;
            while (serving) {
                ResetEvent(overlapped.hEvent);
                BOOL started = drip_ ? WriteFile(pipe, "x", 1, nullptr, &overlapped)
                                     : ReadFile(pipe, buffer, sizeof buffer, nullptr, &overlapped);
                if (!started && GetLastError() != ERROR_IO_PENDING)
                    break;  // the client went
                serving = Await(pipe, overlapped, started);
                if (serving && !GetOverlappedResult(pipe, &overlapped, &bytes, FALSE))
                    break;
                if (serving && drip_)
                    serving = WaitForSingleObject(quit_, 1000) == WAIT_TIMEOUT;
            }
            DisconnectNamedPipe(pipe);
            CloseHandle(pipe);
        }
        CloseHandle(overlapped.hEvent);
    }

    std::wstring path_;
    bool drip_;
    HANDLE quit_;
    std::thread thread_;
};

// Waits until a line of the log starts with `prefix`.
bool WaitForLineStarting(CapturedLog& log, const std::string& prefix, DWORD timeout = 10000)
{
    for (DWORD start = GetTickCount();;) {
        for (const std::string& line : log.Lines()) {
            if (line.rfind(prefix, 0) == 0)
                return true;
        }
        if (GetTickCount() - start >= timeout)
            return false;
        Sleep(50);
    }
}

// Takes the user interface's messages until the final "Status" 0; true when
// it came and nothing followed it.
bool StatusZeroCameLast(UiSink& ui)
{
    UiMessage message;
    do {
        if (!ui.NextOfKind(RuxResult_Update, message))
            return false;
    } while (message.text != "{Status:0}");
    return !ui.Next(message, 500);
}

using ClientReplies = ClientTest;

}  // namespace

// StallingReplySinks DRIP SILENT READY QUIT COUNT: serves the two sinks, sends
// COUNT queries "RequestSBSetting" naming them in turn to "SB", sets READY and
// serves until QUIT.
OLV_CHILD_SCENARIO(StallingReplySinks)
{
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, args.at(2).c_str());
    HANDLE quit = OpenEventW(SYNCHRONIZE, FALSE, args.at(3).c_str());
    if (!ready || !quit)
        return 1;
    std::string sinks[2] = {Narrow(args.at(0)), Narrow(args.at(1))};
    int sent = 0;
    {
        StallingSink drip(sinks[0], true, quit);
        StallingSink silent(sinks[1], false, quit);
        RuxInit();
        int count = std::stoi(args.at(4));
        for (int i = 0; i < count; ++i)
            sent += SendQuery("RequestSBSetting", nullptr, "hostile", sinks[i % 2].c_str(), "SB");
        RuxExit();
        SetEvent(ready);
        WaitForSingleObject(quit, INFINITE);
    }
    CloseHandle(ready);
    CloseHandle(quit);
    return sent == std::stoi(args.at(4)) ? 0 : 2;
}

// A process of the user named reply sinks that drip a byte every few seconds
// or never answer. The client answered inside its drain, under its lock, each
// read with a time-out of its own: the genuine query behind them waited for
// minutes, and so did Destroy.
TEST_F(ClientReplies, StalledReplySinksHoldNeitherAGenuineReplyNorDestroy)
{
    UiSink ui(SessionSinkName());
    UiSink replies("SettingsDialog", "Answers");
    ASSERT_TRUE(replies.Started());
    HostedClient client;
    client->StartWorker();
    UiMessage message;
    ASSERT_TRUE(ui.NextOfKind(RuxResult_Advise, message));

    std::wstring tag = std::to_wstring(GetCurrentProcessId());
    std::wstring readyName = L"OlvStallReady-" + tag;
    std::wstring quitName = L"OlvStallQuit-" + tag;
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, readyName.c_str());
    HANDLE quit = CreateEventW(nullptr, TRUE, FALSE, quitName.c_str());
    std::wstring drip = L"ClientTestDrip." + tag;
    RunningProcess hostile =
        StartChildScenario("StallingReplySinks", {drip, L"ClientTestSilent." + tag, readyName, quitName, L"40"});
    ASSERT_TRUE(hostile.WaitForEvent(ready, 20000)) << "the hostile process did not start";

    // Answered within a second; ten leaves room for a loaded machine, and
    // none for the old minutes.
    ASSERT_TRUE(SendQuery("RequestSBSetting", nullptr, "genuine", "SettingsDialog", "Answers"));
    ASSERT_TRUE(replies.NextOfKind(RuxResult_Reply, message, 10000)) << "the genuine query waited for the stalled ones";
    EXPECT_NE(message.text.find("cookie:\"genuine\""), std::string::npos) << message.text;
    // A target that timed out costs no second deadline while it is held back.
    EXPECT_TRUE(WaitForLineStarting(log, "3|ReplyPool::Hand: reply to '" + Narrow(drip) +
                                             "' dropped: its last exchange failed"));

    ULONGLONG start = GetTickCount64();
    client.Destroy();
    ULONGLONG took = GetTickCount64() - start;
    EXPECT_LT(took, 6000u) << "Destroy waited for the stalled replies";
    EXPECT_TRUE(StatusZeroCameLast(ui));

    SetEvent(quit);
    EXPECT_EQ(hostile.Finish().exitCode, 0u);
    CloseHandle(ready);
    CloseHandle(quit);
}

// A reply goes only where the asker could send it itself. The client connected
// wherever "source" named, as the host's own identity: a process could have a
// sink of another user or session answered, past that sink's own checks.
TEST_F(ClientReplies, ReplyGoesOnlyToASinkOfTheAskersUserInTheAskersSession)
{
    PlatformOverride platform;
    UiSink ui(SessionSinkName());
    UiSink replies("SettingsDialog", "Answers");
    HostedClient client;
    client->StartWorker();
    UiMessage message;
    ASSERT_TRUE(ui.NextOfKind(RuxResult_Advise, message));
    const struct {
        const char* what;
        const char* user;
        uint32_t session;
    } askers[] = {
        {"another user", "S-1-5-21-1111-2222-3333-1001", RuxUIClient::NoSession},
        {"another session", nullptr, WTSGetActiveConsoleSessionId() + 1},
    };
    for (const auto& asker : askers) {
        SCOPED_TRACE(asker.what);
        platform.DisguiseSenders(asker.user, asker.session);
        size_t refused = log.Count("3|RuxUIClient::OnService: RuxResult_Query cannot connect to 'SettingsDialog':'Answers'");
        ASSERT_TRUE(SendQuery("RequestSBSetting", nullptr, asker.what, "SettingsDialog", "Answers"));
        EXPECT_TRUE(log.WaitFor("3|RuxUIClient::OnService: RuxResult_Query cannot connect to 'SettingsDialog':'Answers'",
                                refused + 1));
        EXPECT_FALSE(replies.Next(message, 0)) << message.text;
    }
    EXPECT_TRUE(WaitForLineStarting(log, "3|RuxUIClient::OnService: RuxResult_Query reply sink 'SettingsDialog' is not "
                                         "served by the user of process "));
    // The asker itself is answered there.
    platform.DisguiseSenders(nullptr, RuxUIClient::NoSession);
    ASSERT_TRUE(SendQuery("RequestSBSetting", nullptr, "itself", "SettingsDialog", "Answers"));
    ASSERT_TRUE(replies.NextOfKind(RuxResult_Reply, message));
    EXPECT_NE(message.text.find("cookie:\"itself\""), std::string::npos) << message.text;
}

// Each engine read of a query took 3 s inside the drain, under the client's
// lock: one query held Destroy for about half a minute, and a hung engine
// would have held it for ever.
TEST_F(ClientReplies, SlowEngineDoesNotHoldDestroy)
{
    UiSink ui(SessionSinkName());
    UiSink replies("SettingsDialog", "Answers");
    HostedClient client;
    client->StartWorker();
    UiMessage message;
    ASSERT_TRUE(ui.NextOfKind(RuxResult_Advise, message));
    EngineState state;
    ASSERT_EQ(FaultSwitch(state).SetDelay(EngineCall::GetConfigOption, 3000), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_TRUE(SendQuery("RequestSBSetting", nullptr, "slow", "SettingsDialog", "Answers"));
    ASSERT_TRUE(log.WaitFor("4|RuxUIClient::OnService: RuxResult_Query receive string RequestSBSetting"));

    ULONGLONG start = GetTickCount64();
    client.Destroy();
    ULONGLONG took = GetTickCount64() - start;
    // The worker's wait (1 s) and the final status; the old wait was 30 s.
    EXPECT_LT(took, 6000u) << "Destroy waited for the engine";
    EXPECT_TRUE(StatusZeroCameLast(ui));
    // The run leaves the query between two reads, unanswered.
    EXPECT_TRUE(WaitNoLiveClients(10000));
    EXPECT_FALSE(replies.Next(message, 0)) << message.text;
}
