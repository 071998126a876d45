// The client driven as the host drives it, with the user interface as a real
// messaging sink and the simulated engine behind it.
#include "plugin/FileVersion.h"
#include "plugin/RuxUIClient.h"
#include "plugin/tests/ClientTestSupport.h"

#include "contracts/RuxExtensions.h"
#include "tests/support/AllocationFailure.h"
#include "vtapi/EngineState.h"
#include "vtapi/FaultSwitch.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace clienttest;
using testsupport::AllocationFailure;

class RuxUIClientProbe {
public:
    static void Query(RuxUIClient& client, RuxItem query)
    {
        char command[256] = {};
        client.OnQuery(nullptr, query, command, nullptr);
    }
    static bool AdviseUI(RuxUIClient& client) { return client.AdviseUI(); }
    static bool UpdateUIStatistic(RuxUIClient& client) { return client.UpdateUIStatistic(); }
    static bool UpdateUIVtStatus(RuxUIClient& client) { return client.UpdateUIVtStatus(); }
};

namespace {

void SetComponents(std::initializer_list<const wchar_t*> versions)
{
    std::vector<EngineComponent> components;
    int n = 0;
    for (const wchar_t* version : versions)
        components.push_back({L"Component" + std::to_wstring(++n), version});
    ASSERT_EQ(EngineState().SetComponents(components), static_cast<DWORD>(ERROR_SUCCESS));
}

bool EngineRunning()
{
    bool running = false;
    EngineState().GetRunning(running);
    return running;
}

using RuxUIClientTest = ClientTest;

}  // namespace

TEST_F(RuxUIClientTest, ConstructionServesTheActiveConsoleSession)
{
    HostedClient client;
    ASSERT_NE(client.Client(), nullptr);
    uint32_t active = WTSGetActiveConsoleSessionId();
    EXPECT_EQ(client.Client()->SessionId(), active);
    EXPECT_EQ(client.Client()->ServiceName(), SessionSinkName());
    EXPECT_EQ(client.Client()->SettingNames().size(), 10u);
    EXPECT_EQ(log.Count("4|RuxUIClient::RuxUIClient: session id = " + std::to_string(active)), 1u);
}

TEST_F(RuxUIClientTest, TraceLinesAreLoggedAtLevelTwoAlsoWhenEmpty)
{
    RuxUIClient::TraceProc("pipe QClient(1) connected");
    RuxUIClient::TraceProc("");
    RuxUIClient::TraceProc(nullptr);
    EXPECT_EQ(log.Count("2|RuxUIClient::TraceProc: pipe QClient(1) connected"), 1u);
    EXPECT_EQ(log.Count("2|RuxUIClient::TraceProc: "), 2u);
}

TEST_F(RuxUIClientTest, SetSessionStoresTheIdAndRebuildsTheServiceName)
{
    HostedClient client;
    const struct {
        int32_t argument;
        uint32_t stored;
    } cases[] = {
        {5, 5},
        {0, 0},
        {-1, WTSGetActiveConsoleSessionId()},
        {7, 7},
    };
    for (const auto& c : cases) {
        client->SetSession(c.argument);
        EXPECT_EQ(client.Client()->SessionId(), c.stored) << c.argument;
        EXPECT_EQ(client.Client()->ServiceName(), "QClient(" + std::to_string(c.stored) + ")") << c.argument;
    }
    // Out of memory for a name too long to keep in place: no exception reaches
    // the host, and the id and the name stay together.
    AllocationFailure failure;
    EXPECT_NO_THROW(client->SetSession(123456789));
    EXPECT_TRUE(failure.Happened());
    EXPECT_EQ(client.Client()->SessionId(), 7u);
    EXPECT_EQ(client.Client()->ServiceName(), "QClient(7)");
}

TEST_F(RuxUIClientTest, DestroyingAnUnstartedClientSendsStatusZeroWithoutWaiting)
{
    UiSink ui(SessionSinkName());
    ASSERT_TRUE(ui.Started());
    HostedClient client;
    client.Destroy();
    UiMessage message;
    ASSERT_TRUE(ui.Next(message));
    EXPECT_EQ(message.kind, RuxResult_Update);
    EXPECT_EQ(message.text, "{Status:0}");
    EXPECT_EQ(RuxUIClient::LiveClients(), 0);
    EXPECT_EQ(log.Count("1|RuxUIClient::UpdateUIVtStatus"), 1u);
    EXPECT_EQ(log.Count("4|RuxUIClient::~RuxUIClient: WorkerProc not stop"), 0u);
}

// Destroy of a client whose run has ended returns with the shutdown done on
// the host's thread: the messaging library released and the trace callback
// left to the next client. The run used to drop its reference only after
// signalling done, so the destructor often ran later on the pool thread and
// removed the next client's callback.
TEST_F(RuxUIClientTest, DestroyReturnsWithTheMessagingLibraryReleased)
{
    UiSink ui(SessionSinkName());
    const std::string traced = "2|RuxUIClient::TraceProc: Rux: cannot connect to sink 'NoSuchTraceSink'";
    for (int round = 0; round < 10; ++round) {
        {
            HostedClient client;
            client->StartWorker();
            UiMessage push;
            ASSERT_TRUE(ui.NextOfKind(RuxResult_Advise, push));
            client.Destroy();
            // The fixture's use and this probe's.
            int32_t uses = RuxInit();
            RuxExit();
            ASSERT_EQ(uses, 2) << "round " << round;
        }
        HostedClient next;
        EXPECT_EQ(RuxOpenConnection("NoSuchTraceSink"), nullptr);
        ASSERT_EQ(log.CountStarting(traced), static_cast<size_t>(round + 1)) << "the next client's trace callback is gone";
    }
}

TEST_F(RuxUIClientTest, FirstFullPushCarriesStateVersionsAndTwoCounters)
{
    ASSERT_EQ(EngineState().SetRunning(true), static_cast<DWORD>(ERROR_SUCCESS));
    SetComponents({L"1.0.0.1", L"2.5", L"3.0.7", L"2026.12.7"});
    const uint32_t stats[StatisticsFieldCount] = {5, 7, 11, 0, 0, 0, 0, 0, 13};
    for (size_t i = 0; i < StatisticsFieldCount; ++i)
        ASSERT_EQ(EngineState().SetStatistic(i, stats[i]), static_cast<DWORD>(ERROR_SUCCESS));

    ServedClient served;
    ASSERT_TRUE(served.Start());
    UiMessage push = served.firstPush;
    // No malicious count in the full push: only the harmful size and the
    // suspicious count.
    EXPECT_EQ(push.text, "{Status:1,Version:\"1.0.0.1\",SpyScanVersion:\"2.5\",PhishingDBVersion:\"3.0.7\","
                         "SiteDBVersion:\"2026.12.7\",HarmfulDataSize:13,TotalSuspiciousBlocked:7}");
    EXPECT_EQ(served.client.Client()->Status(), 1);
    EXPECT_EQ(log.Count("2|RuxUIClient::WorkerProc: start service and waiting events"), 1u);
    EXPECT_EQ(log.Count("4|RuxUIClient::AdviseUI"), 1u);
}

TEST_F(RuxUIClientTest, VersionsFollowTheEngineReportAndFallBackToTheFileVersion)
{
    ServedClient served;
    ASSERT_TRUE(served.Start());
    UiMessage push;

    const struct {
        std::initializer_list<const wchar_t*> components;
        bool queryFails;
        const char* versions;  // the four version pairs of the push
    } cases[] = {
        {{L"1.1", L"2.2"}, false,
         "Version:\"1.1\",SpyScanVersion:\"2.2\",PhishingDBVersion:\"0.0.0.0\",SiteDBVersion:\"0.0.0.0\""},
        {{L"1", L"2", L"3", L"4"}, false,
         "Version:\"1\",SpyScanVersion:\"2\",PhishingDBVersion:\"3\",SiteDBVersion:\"4\""},
        {{L"1", L"2", L"3", L"4", L"5", L"6"}, false,
         "Version:\"1\",SpyScanVersion:\"2\",PhishingDBVersion:\"3\",SiteDBVersion:\"4\""},
        // The test executable carries no version resource: the fallback is empty.
        {{L"9"}, true, "Version:\"\",SpyScanVersion:\"0.0.0.0\",PhishingDBVersion:\"0.0.0.0\",SiteDBVersion:\"0.0.0.0\""},
    };
    for (const auto& c : cases) {
        SetComponents(c.components);
        EngineState state;
        ASSERT_EQ(FaultSwitch(state).SetFail(EngineCall::QueryVersionInfo, c.queryFails),
                  static_cast<DWORD>(ERROR_SUCCESS));
        served.client->SetSession(-1);
        ASSERT_TRUE(served.ui.NextOfKind(RuxResult_Advise, push));
        EXPECT_NE(push.text.find(c.versions), std::string::npos) << push.text;
    }
    EXPECT_EQ(log.Count("3|RuxUIClient::AdviseUI: failed to get list of components versions"), 1u);
}

// The engine's version field holds 128 units: a text of 127 ends at its
// terminator, and one that fills the field without it ends at the field's end;
// nothing behind the field is read.
TEST_F(RuxUIClientTest, ComponentVersionIsReadWithinItsField)
{
    const struct {
        size_t length;
        bool terminated;
    } cases[] = {{0, true}, {1, true}, {127, true}, {128, false}};
    for (const auto& c : cases) {
        struct {
            VtComponentVersion component;
            wchar_t behind[8];
        } entry;
        std::fill(std::begin(entry.component.version), std::end(entry.component.version), L'#');
        std::fill(std::begin(entry.behind), std::end(entry.behind), L'#');
        std::fill_n(entry.component.version, c.length, L'7');
        if (c.terminated)
            entry.component.version[c.length] = L'\0';
        EXPECT_EQ(RuxUIClient::ComponentVersionText(entry.component), std::string(c.length, '7')) << c.length;
    }
}

TEST_F(RuxUIClientTest, FailingStatisticsSendZeroCounters)
{
    ASSERT_EQ(EngineState().SetStatistic(1, 9), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(EngineState().SetStatistic(8, 9), static_cast<DWORD>(ERROR_SUCCESS));
    EngineState state;
    ASSERT_EQ(FaultSwitch(state).SetFail(EngineCall::GetStatistics, true), static_cast<DWORD>(ERROR_SUCCESS));
    ServedClient served;
    ASSERT_TRUE(served.Start());
    UiMessage push = served.firstPush;
    EXPECT_NE(push.text.find("HarmfulDataSize:0,TotalSuspiciousBlocked:0}"), std::string::npos) << push.text;
    EXPECT_EQ(log.Count("3|RuxUIClient::GetVtStatistic: VtApi_GetStatistics failed"), 1u);
}

TEST_F(RuxUIClientTest, SettingsReplyGoesToTheQuerysSourceWithTheTenPairsInOrder)
{
    // Odd option ids on, even ones off, so that every position tells.
    for (int32_t id = 2; id <= 11; ++id)
        ASSERT_EQ(EngineState().SetOption(id, id % 2), static_cast<DWORD>(ERROR_SUCCESS));
    ServedClient served;
    ASSERT_TRUE(served.Start());
    UiMessage message;

    ASSERT_TRUE(SendQuery("RequestSBSetting", nullptr, "cookie-7", "SettingsDialog", "Answers"));
    ASSERT_TRUE(served.replies.Next(message));
    EXPECT_EQ(message.kind, RuxResult_Reply);
    EXPECT_EQ(message.text,
              "{proc:\"RequestSBSetting\",cookie:\"cookie-7\",result:{EnableAutoUpdate:true,"
              "EnableSiteStatusCheck:true,EnableAntiphishingSig:false,EnableAntiphishingHeuristic:true,"
              "EnableBlockSpySite:false,EnableCheckFileDownload:true,EnableCheckKeystrokes:true,"
              "KeystrokeSetting:false,EnableScanSpy:false,EnableVirtual:false}}");
    EXPECT_EQ(log.Count("4|RuxUIClient::OnService: RuxResult_Query receive string RequestSBSetting"), 1u);
    // Nothing went to the session's own sink.
    EXPECT_FALSE(served.ui.Next(message, 0));
}

TEST_F(RuxUIClientTest, SettingsReplyToAnUnreachableSourceIsLoggedAndDropped)
{
    ServedClient served;
    ASSERT_TRUE(served.Start());
    UiMessage message;
    ASSERT_TRUE(SendQuery("RequestSBSetting", nullptr, "c1", "NoSuchSink", "Answers"));
    ASSERT_TRUE(SendQuery("RequestSBSetting", nullptr, "c2", "SettingsDialog", "Answers"));
    ASSERT_TRUE(served.replies.NextOfKind(RuxResult_Reply, message));
    EXPECT_NE(message.text.find("cookie:\"c2\""), std::string::npos);
    // Each reply is sent on a thread of its own: the failed one may end last.
    EXPECT_TRUE(log.WaitFor("3|RuxUIClient::OnService: RuxResult_Query cannot connect to 'NoSuchSink':'Answers'"));
    EXPECT_EQ(log.Count("3|AutoServiceConnect::connect: failed to connect to sink=NoSuchSink service=Answers"), 1u);
    EXPECT_EQ(log.Count("3|RuxUIClient::OnService: RuxResult_Query cannot connect to 'NoSuchSink':'Answers'"), 1u);
    // A sink that was not there yet is answered once it is: a failure known
    // at once holds no target back (any query could name a genuine sink before
    // it starts, or with a service it lacks).
    UiSink late("NoSuchSink", "Answers");
    ASSERT_TRUE(SendQuery("RequestSBSetting", nullptr, "c3", "NoSuchSink", "Answers"));
    ASSERT_TRUE(late.NextOfKind(RuxResult_Reply, message, 2000)) << "the late sink was held back";
    EXPECT_NE(message.text.find("cookie:\"c3\""), std::string::npos);
}

TEST_F(RuxUIClientTest, ApplySettingsSetsKnownOptionsAndNotifiesTheEngineOnce)
{
    ServedClient served;
    ASSERT_TRUE(served.Start());
    UiMessage message;

    const struct {
        const char* what;
        RuxItem (*arg)();
        int32_t scanSpy;  // option 10 afterwards
        int32_t virtualOn;  // option 2 afterwards
    } cases[] = {
        {"known and unknown names",
         [] { return RuxBuildItem("{s:b,s:b,s:b}", "EnableScanSpy", 0, "Bogus", 1, "EnableVirtual", 0); }, 0, 0},
        {"only unknown names, one differing in case",
         [] { return RuxBuildItem("{s:b,s:b}", "enablescanspy", 1, "Other", 1); }, 0, 0},
        {"an argument that is not associative", [] { return RuxBuildItem("s", "EnableScanSpy"); }, 0, 0},
        {"no argument", []() -> RuxItem { return nullptr; }, 0, 0},
        {"known names switched back on", [] { return RuxBuildItem("{s:b,s:b}", "EnableVirtual", 1, "EnableScanSpy", 1); },
         1, 1},
    };
    uint32_t applied = 0;
    for (const auto& c : cases) {
        ASSERT_TRUE(SendQuery("ApplySBSetting", c.arg(), "apply", "SettingsDialog", "Answers")) << c.what;
        // The settings reply comes after the apply in the same queue: the apply is done then.
        ASSERT_TRUE(SendQuery("RequestSBSetting", nullptr, "sync", "SettingsDialog", "Answers"));
        ASSERT_TRUE(served.replies.NextOfKind(RuxResult_Reply, message)) << c.what;
        uint32_t now = 0;
        EngineState().GetSettingsApplied(now);
        EXPECT_EQ(now, applied + 1) << c.what;
        applied = now;
        int32_t scanSpy = -1;
        int32_t virtualOn = -1;
        EngineState().GetOption(10, scanSpy);
        EngineState().GetOption(2, virtualOn);
        EXPECT_EQ(scanSpy, c.scanSpy) << c.what;
        EXPECT_EQ(virtualOn, c.virtualOn) << c.what;
    }
}

// A handler that runs out of memory loses only its own call. The exception
// used to end the whole drain: the calls queued behind it (which bring no
// signal of their own) waited for the next message, and the engine never
// heard of the settings applied before the failure.
TEST_F(RuxUIClientTest, CallThatRunsOutOfMemoryLosesOnlyItself)
{
    ServedClient served;
    ASSERT_TRUE(served.Start());
    UiMessage message;

    // The worker sits in a slow push while the four queries queue up, so that
    // one drain pops them all.
    EngineState state;
    ASSERT_EQ(FaultSwitch(state).SetDelay(EngineCall::GetStatistics, 2000), static_cast<DWORD>(ERROR_SUCCESS));
    size_t pushes = log.Count("4|RuxUIClient::AdviseUI");
    served.client->SetSession(-1);
    ASSERT_TRUE(log.WaitFor("4|RuxUIClient::AdviseUI", pushes + 1));

    // Looking the long name up copies it into a string of 233 bytes.
    const std::string longName(232, 'n');
    AllocationFailure failure(longName.size() + 1);
    ASSERT_TRUE(SendQuery("ApplySBSetting", RuxBuildItem("{s:b,s:b}", "EnableScanSpy", 1, longName.c_str(), 1), "bad",
                          "SettingsDialog", "Answers"));
    ASSERT_TRUE(SendQuery("ApplySBSetting", RuxBuildItem("{s:b}", "EnableVirtual", 1), "good", "SettingsDialog",
                          "Answers"));
    ASSERT_TRUE(SendQuery("ResetMessage", nullptr, "reset", "SettingsDialog", "Answers"));
    ASSERT_TRUE(SendQuery("RequestSBSetting", nullptr, "sync", "SettingsDialog", "Answers"));
    ASSERT_TRUE(served.replies.NextOfKind(RuxResult_Reply, message)) << "the calls behind the failed one were not served";
    EXPECT_TRUE(failure.Happened());
    EXPECT_EQ(log.Count("3|RuxUIClient::OnService: call dropped: std::bad_alloc"), 1u);
    uint32_t applied = 0;
    EngineState().GetSettingsApplied(applied);
    EXPECT_EQ(applied, 2u);
    int32_t scanSpy = -1;
    int32_t virtualOn = -1;
    EngineState().GetOption(10, scanSpy);
    EngineState().GetOption(2, virtualOn);
    EXPECT_EQ(scanSpy, 1);
    EXPECT_EQ(virtualOn, 1);
}

TEST_F(RuxUIClientTest, EnableAsAssociativeCallIsServedThroughProcAfterTheCommandStringLine)
{
    ASSERT_EQ(EngineState().SetRunning(true), static_cast<DWORD>(ERROR_SUCCESS));
    ServedClient served;
    ASSERT_TRUE(served.Start());
    UiMessage push = served.firstPush;
    ASSERT_EQ(push.text.rfind("{Status:1,", 0), 0u) << push.text;

    ASSERT_TRUE(SendCall(RuxBuildItem("{s:s,s:b}", "proc", "Enable", "arg", 0)));
    ASSERT_TRUE(served.ui.NextOfKind(RuxResult_Advise, push));
    EXPECT_EQ(push.text.rfind("{Status:0,", 0), 0u) << push.text;
    EXPECT_FALSE(EngineRunning());

    ASSERT_TRUE(SendCall(RuxBuildItem("{s:s,s:b}", "proc", "Enable", "arg", 1)));
    ASSERT_TRUE(served.ui.NextOfKind(RuxResult_Advise, push));
    EXPECT_EQ(push.text.rfind("{Status:1,", 0), 0u) << push.text;
    EXPECT_TRUE(EngineRunning());

    std::vector<std::string> lines = log.Lines();
    auto first = std::find(lines.begin(), lines.end(),
                           "3|RuxUIClient::OnService: failed to get command string in RuxResult_Call");
    ASSERT_NE(first, lines.end());
    // The messaging library's trace lines come from its own threads, at any
    // point (a connection's end, say): the next line of the plug-in's own.
    auto next = std::find_if(first + 1, lines.end(), [](const std::string& line) {
        return line.rfind("2|RuxUIClient::TraceProc:", 0) != 0;
    });
    ASSERT_NE(next, lines.end());
    EXPECT_EQ(*next, "4|RuxUIClient::OnService: fRuxResult_Call receive string Enable");
    EXPECT_EQ(log.Count("4|RuxUIClient::OnService: fRuxResult_Call receive string Enable"), 2u);
}

TEST_F(RuxUIClientTest, EnableWhileRunningMakesNoStartCallButStillPushes)
{
    ASSERT_EQ(EngineState().SetRunning(true), static_cast<DWORD>(ERROR_SUCCESS));
    EngineState state;
    // A start call would fail and say so.
    ASSERT_EQ(FaultSwitch(state).SetFail(EngineCall::StartVantor, true), static_cast<DWORD>(ERROR_SUCCESS));
    ServedClient served;
    ASSERT_TRUE(served.Start());
    UiMessage push;
    ASSERT_TRUE(SendCall(RuxBuildItem("{s:s,s:b}", "proc", "Enable", "arg", 1)));
    ASSERT_TRUE(served.ui.NextOfKind(RuxResult_Advise, push));
    EXPECT_EQ(log.Count("3|Failed to start Linshade by server command"), 0u);

    EngineState().SetRunning(false);
    ASSERT_TRUE(SendCall(RuxBuildItem("{s:s,s:b}", "proc", "Enable", "arg", 1)));
    ASSERT_TRUE(served.ui.NextOfKind(RuxResult_Advise, push));
    EXPECT_EQ(log.Count("3|Failed to start Linshade by server command"), 1u);
}

TEST_F(RuxUIClientTest, EnableWithANonBooleanArgumentStartsNothingAndRequestsNoPush)
{
    PlatformOverride platform;
    ServedClient served;
    ASSERT_TRUE(served.Start(100));
    UiMessage message;
    size_t pushes = log.Count("4|RuxUIClient::AdviseUI");

    ASSERT_TRUE(SendCall(RuxBuildItem("{s:s,s:i}", "proc", "Enable", "arg", 1)));
    ASSERT_TRUE(SendQuery("RequestSBSetting", nullptr, "sync", "SettingsDialog", "Answers"));
    ASSERT_TRUE(served.replies.NextOfKind(RuxResult_Reply, message));
    EXPECT_EQ(log.Count("3|Failed type of argument for Enable"), 1u);
    EXPECT_FALSE(EngineRunning());
    // A push, had one been requested, would have begun before the worker's
    // next periodic check.
    ASSERT_TRUE(platform.WaitForPeriodicChecks());
    EXPECT_EQ(log.Count("4|RuxUIClient::AdviseUI"), pushes);
}

TEST_F(RuxUIClientTest, OneWayCallsClearVirtualDataAndOnlyLogShutDown)
{
    VirtualDataFile data(L"virtualised.dat");
    ASSERT_TRUE(data.Made());
    ServedClient served;
    ASSERT_TRUE(served.Start());
    UiMessage message;
    ASSERT_TRUE(SendCall(RuxBuildItem("s", "ShutDownSB")));
    ASSERT_TRUE(SendCall(RuxBuildItem("s", "ClearVirtualData")));
    ASSERT_TRUE(SendCall(RuxBuildItem("s", "NoSuchCommand")));
    ASSERT_TRUE(SendQuery("ResetMessage", nullptr, "r", "SettingsDialog", "Answers"));
    ASSERT_TRUE(SendQuery("RequestSBSetting", nullptr, "sync", "SettingsDialog", "Answers"));
    ASSERT_TRUE(served.replies.NextOfKind(RuxResult_Reply, message));

    EXPECT_FALSE(data.Exists());
    EXPECT_EQ(log.Count("4|Shut down call"), 1u);
    EXPECT_EQ(log.Count("4|ClearVirtualData call"), 1u);
    // A bare string that names no known command has no "proc" either.
    EXPECT_EQ(log.Count("3|RuxUIClient::OnService: failed to get proc string in RuxResult_Call"), 1u);
    EXPECT_EQ(log.Count("4|RuxUIClient::OnService: RuxResult_Query receive string ResetMessage"), 1u);
    // The worker is still serving.
    ASSERT_TRUE(SendQuery("RequestSBSetting", nullptr, "again", "SettingsDialog", "Answers"));
    EXPECT_TRUE(served.replies.NextOfKind(RuxResult_Reply, message));
}

// Only the handle line for a query that lacks a member of the reply address,
// even for the commands that would not use it.
TEST_F(RuxUIClientTest, QueryLackingAReplyMemberIsDroppedAfterItsHandleLine)
{
    HostedClient client;
    const struct {
        const char* proc;
        const char* keys[2];  // besides "proc"
    } queries[] = {
        {"ClearVirtualData", {"service", "source"}},  // no cookie
        {"ClearVirtualData", {"service", "cookie"}},  // no source
        {"ResetMessage", {"source", "cookie"}},       // no service
    };
    for (const auto& q : queries) {
        RuxItem query = RuxBuildItem("{s:s,s:s,s:s}", "proc", q.proc, q.keys[0], "x", q.keys[1], "y");
        ASSERT_NE(query, nullptr);
        RuxUIClientProbe::Query(*client.Client(), query);
        RuxReleaseItem(query);
    }
    // The command would be logged as received before it is served.
    std::vector<std::string> lines = log.Lines();
    auto count = [&lines](const char* text) {
        return std::count_if(lines.begin(), lines.end(),
                             [text](const std::string& line) { return line.find(text) != std::string::npos; });
    };
    EXPECT_EQ(count("4|RuxUIClient::OnService: RuxResult_Query hProc = 0x"), 3);
    EXPECT_EQ(count("receive string"), 0);
}

// Command texts come as strings or as byte strings; a byte string fills at
// most 255 bytes and is always terminated inside the buffer.
TEST_F(RuxUIClientTest, ItemStringsFromBlobsAreTerminatedInsideTheBuffer)
{
    const std::string full(255, 'b');
    const struct {
        const char* what;
        RuxItem item;
        bool copied;
        std::string text;
    } cases[] = {
        {"blob command", RuxBuildBlob("ClearVirtualData", 16), true, "ClearVirtualData"},
        {"blob of 255 bytes", RuxBuildBlob(full.data(), 255), true, full},
        {"blob of 256 bytes", RuxBuildBlob(std::string(256, 'o').data(), 256), false, ""},
        {"string of 255 bytes", RuxBuildItem("s", full.c_str()), true, full},
        {"string of 256 bytes", RuxBuildItem("s", std::string(256, 's').c_str()), false, ""},
        {"boolean", RuxBuildItem("{s:b}", "k", 1), false, ""},
    };
    for (const auto& c : cases) {
        ASSERT_NE(c.item, nullptr) << c.what;
        struct {
            char buffer[256];
            char behind[16];
        } guarded;
        std::memset(&guarded, 0x7F, sizeof guarded);
        guarded.buffer[0] = 0;
        EXPECT_EQ(RuxUIClient::GetItemString(c.item, guarded.buffer), c.copied) << c.what;
        EXPECT_EQ(std::string(guarded.buffer, strnlen(guarded.buffer, sizeof guarded.buffer)), c.text) << c.what;
        EXPECT_EQ(std::count(std::begin(guarded.behind), std::end(guarded.behind), 0x7F), 16) << c.what;
        RuxReleaseItem(c.item);
    }
}

// With no session (0xFFFFFFFF: no console session attached) the four updates
// return at once: nothing reaches the engine or "QClient(-1)", the name that
// session formats to.
TEST_F(RuxUIClientTest, WithoutASessionTheFourUpdatesSendNothing)
{
    PlatformOverride platform;
    platform.SetActiveSession(RuxUIClient::NoSession);
    UiSink nowhere("QClient(-1)");
    ASSERT_TRUE(nowhere.Started());
    HostedClient client;
    ASSERT_EQ(client.Client()->SessionId(), RuxUIClient::NoSession);
    // Every line of the client's own; the flush entry adds one of its own per read.
    auto clientLines = [this] {
        std::vector<std::string> lines = log.Lines();
        return std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
            return line.find("OlvLog_FlushThread") == std::string::npos;
        });
    };
    const auto lines = clientLines();
    EXPECT_FALSE(RuxUIClientProbe::AdviseUI(*client.Client()));
    EXPECT_FALSE(RuxUIClientProbe::UpdateUIStatistic(*client.Client()));
    EXPECT_FALSE(RuxUIClientProbe::UpdateUIVtStatus(*client.Client()));
    EXPECT_EQ(client->Perform(), -1);
    client.Destroy();
    EXPECT_EQ(clientLines(), lines) << "an update went on: " << log.Lines().back();
    UiMessage message;
    EXPECT_FALSE(nowhere.Next(message, 0)) << message.text;
}

// A user interface that starts after the client opens a peer to its sink: the
// sink event brings it a full push, and the client's own peer to it is opened.
TEST_F(RuxUIClientTest, SinkEventBringsAFullPushAndThePeerToTheInterface)
{
    HostedClient client;
    client->StartWorker();
    ASSERT_TRUE(log.WaitFor("4|OLVRuxUIPlugin::WorkerProc: failed to open peer"));
    UiSink ui(SessionSinkName());
    ASSERT_TRUE(ui.OpenPeer("SB"));
    UiMessage push;
    ASSERT_TRUE(ui.NextOfKind(RuxResult_Advise, push));
    EXPECT_EQ(push.text.rfind("{Status:0,Version:", 0), 0u) << push.text;
    EXPECT_TRUE(log.WaitFor("2|RuxUIClient::TraceProc: Rux: sink '" + SessionSinkName() + "': peer 'SB' connected"));
}

TEST_F(RuxUIClientTest, PerformAsksTheSessionsUserInterfaceForTheSettingsDialog)
{
    UiSink ui(SessionSinkName());
    HostedClient client;
    EXPECT_EQ(client->Perform(), 0);
    UiMessage message;
    ASSERT_TRUE(ui.Next(message));
    EXPECT_EQ(message.kind, RuxResult_Call);
    EXPECT_EQ(message.text, "\"ShowSBSettingDialog\"");
    EXPECT_EQ(log.Count("1|RuxUIClient::Perform"), 1u);

    client->SetSession(7);
    EXPECT_EQ(client->Perform(), -1);
    EXPECT_EQ(log.Count("3|AutoServiceConnect::connect: failed to connect to sink=QClient(7) service=SB"), 1u);
}

TEST_F(RuxUIClientTest, SessionSetElsewhereIsReplacedByTheActiveOneAtTheNextTimeOut)
{
    ServedClient served;
    ASSERT_TRUE(served.Start(200));
    UiMessage push;

    served.client->SetSession(5);
    EXPECT_EQ(served.client.Client()->ServiceName(), "QClient(5)");
    // The push for session 5 fails at the engine (no user there); the time-out
    // then brings the client back to the active session with a full push.
    ASSERT_TRUE(served.ui.NextOfKind(RuxResult_Advise, push));
    uint32_t active = WTSGetActiveConsoleSessionId();
    EXPECT_EQ(served.client.Client()->SessionId(), active);
    EXPECT_EQ(served.client.Client()->ServiceName(), SessionSinkName());
    EXPECT_EQ(log.Count("2|RuxUIClient::WorkerProc: new session id = " + std::to_string(active)), 1u);
    EXPECT_EQ(log.Count("3|RuxUIClient::AdviseUI: VtApi_SetActiveSession failed"), 1u);
}

// A new console session whose name cannot be made (out of memory) is taken at
// a later check, the id and the name together. The check used to store the id
// first: the name stayed the old session's for good, since the ids then
// matched.
TEST_F(RuxUIClientTest, PeriodicCheckThatCannotNameTheNewSessionLeavesItForTheNextCheck)
{
    PlatformOverride platform;
    HostedClient client;
    client.Client()->SetSessionCheckInterval(50);
    client->StartWorker();
    ASSERT_TRUE(log.WaitFor("2|RuxUIClient::WorkerProc: start service and waiting events"));
    {
        AllocationFailure failure(20);  // "QClient(1234567890)" and its terminator
        platform.SetActiveSession(1234567890);
        ASSERT_TRUE(log.WaitFor("3|RuxUIClient::WorkerProc: std::bad_alloc"));
        EXPECT_TRUE(failure.Happened());
    }
    ASSERT_TRUE(log.WaitFor("2|RuxUIClient::WorkerProc: new session id = 1234567890"));
    EXPECT_EQ(client.Client()->SessionId(), 1234567890u);
    EXPECT_EQ(client.Client()->ServiceName(), "QClient(1234567890)");
}

// On Windows a sink's name lives on while a user interface still holds an end
// of an old instance, and a new first instance is refused meanwhile. The run
// used to log its failure and serve nothing until the next client.
TEST_F(RuxUIClientTest, SinkThatCannotStartIsTriedAgainAtThePeriodicCheck)
{
    PlatformOverride platform;
    platform.FailNextSinkStarts(2);
    UiSink ui(SessionSinkName());
    HostedClient client;
    client.Client()->SetSessionCheckInterval(100);
    client->StartWorker();
    UiMessage push;
    ASSERT_TRUE(ui.NextOfKind(RuxResult_Advise, push, 10000)) << "the sink was not tried again";
    EXPECT_EQ(log.Count("3|RuxUIClient::WorkerProc: failed to start sink"), 1u);
    EXPECT_EQ(log.Count("2|RuxUIClient::WorkerProc: sink and service started after 2 failed tries"), 1u);
    EXPECT_EQ(log.Count("2|RuxUIClient::WorkerProc: start service and waiting events"), 1u);
    EXPECT_EQ(log.Count("3|RuxUIClient::WorkerProc: some objects or events not create!"), 0u);
    UiSink replies("SettingsDialog", "Answers");
    ASSERT_TRUE(SendQuery("RequestSBSetting", nullptr, "late", "SettingsDialog", "Answers"));
    EXPECT_TRUE(replies.NextOfKind(RuxResult_Reply, push));
}

// Without its sink event a run is a failed set-up like the others. It used to
// go on with a null handle in its wait array, logging "wait failed 6" every
// second and serving nothing until Destroy.
TEST_F(RuxUIClientTest, RunWithoutASinkEventEndsAfterItsSetUpLines)
{
    PlatformOverride platform;
    HostedClient client;
    platform.FailNextEvents(1);  // the run makes its sink event first
    client->StartWorker();
    ASSERT_EQ(WaitForSingleObject(client.Client()->DoneEvent(), 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(log.Count("3|RuxUIClient::WorkerProc: failed to create events 8"), 1u);
    EXPECT_EQ(log.Count("3|RuxUIClient::WorkerProc: some objects or events not create!"), 1u);
}

TEST_F(RuxUIClientTest, WorkerStuckInASlowEngineCallEndsWithoutServingAndFreesTheClientItself)
{
    VirtualDataFile data(L"kept.dat");
    ASSERT_TRUE(data.Made());
    ServedClient served;
    ASSERT_TRUE(served.Start());
    size_t pushes = log.Count("4|RuxUIClient::AdviseUI");
    UiMessage push;

    // The sink event makes the worker push, and the push begins with a session
    // call that now takes 6 s, outside the client lock: ample time for the
    // call and Destroy below, also on a loaded machine.
    EngineState state;
    ASSERT_EQ(FaultSwitch(state).SetDelay(EngineCall::SetActiveSession, 6000), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_TRUE(served.ui.OpenPeer("SB"));
    ASSERT_TRUE(log.WaitFor("1|RuxUIClient::WorkerProc: sink event is signalize"));

    // A call queued now sets the service event; the destructor sets the exit
    // event while the worker is still inside the engine.
    ASSERT_TRUE(SendCall(RuxBuildItem("s", "ClearVirtualData")));
    served.client.Destroy();
    EXPECT_EQ(log.Count("4|RuxUIClient::~RuxUIClient: WorkerProc not stop"), 1u);
    ASSERT_TRUE(served.ui.NextOfKind(RuxResult_Update, push));
    EXPECT_EQ(push.text, "{Status:0}");

    // The run ends by itself and frees the client; exit wins over the queued
    // call. A client made meanwhile keeps its trace callback.
    HostedClient next;
    ASSERT_TRUE(WaitUntil([] { return RuxUIClient::LiveClients() == 1; }, 20000));
    EXPECT_EQ(RuxOpenConnection("NoSuchTraceSink"), nullptr);
    EXPECT_EQ(log.CountStarting("2|RuxUIClient::TraceProc: Rux: cannot connect to sink 'NoSuchTraceSink'"), 1u)
        << "the late shutdown took the trace callback of the client made meanwhile";
    EXPECT_EQ(log.Count("1|RuxUIClient::WorkerProc: exit event is signalize"), 1u);
    EXPECT_EQ(log.Count("4|ClearVirtualData call"), 0u);
    EXPECT_TRUE(data.Exists());
    // No push after the final status.
    EXPECT_EQ(log.Count("4|RuxUIClient::AdviseUI"), pushes);
    EXPECT_FALSE(served.ui.NextOfKind(RuxResult_Advise, push, 0));
}

TEST_F(RuxUIClientTest, StatisticsEventPushesAllFourCountersWithTheMaliciousSum)
{
    // A + C wraps as a 32-bit sum.
    const uint32_t stats[StatisticsFieldCount] = {0xFFFFFFF0u, 3, 0x20, 1, 1, 1, 1, 1, 77};
    for (size_t i = 0; i < StatisticsFieldCount; ++i)
        ASSERT_EQ(EngineState().SetStatistic(i, stats[i]), static_cast<DWORD>(ERROR_SUCCESS));
    ServedClient served;
    ASSERT_TRUE(served.Start());
    UiMessage message;
    ASSERT_NE(served.client.Client()->StatisticsEvent(), nullptr);
    SetEvent(served.client.Client()->StatisticsEvent());
    ASSERT_TRUE(served.ui.NextOfKind(RuxResult_Update, message));
    EXPECT_EQ(message.text, "{TotalMaliciousBlocked:16,TotalSuspiciousBlocked:3,TotalIgnored:0,HarmfulDataSize:77}");
    EXPECT_EQ(log.Count("1|RuxUIClient::UpdateUIStatistic"), 1u);
}

TEST_F(RuxUIClientTest, SecondStartWhileTheRunServesReturnsAtOnce)
{
    ServedClient served;
    ASSERT_TRUE(served.Start());
    UiMessage message;
    UniqueEvent returned(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(returned.valid());
    OLVRuxUIPlugin* plugin = served.client.Client();
    std::thread second([&] {
        plugin->StartWorker();
        SetEvent(returned.get());
    });
    bool backInTime = WaitForSingleObject(returned.get(), 5000) == WAIT_OBJECT_0;
    EXPECT_TRUE(backInTime) << "a second StartWorker waited for the serving run";
    if (!backInTime)
        served.client.Destroy();  // ends the run, which lets the blocked start go on
    second.join();
    EXPECT_EQ(log.Count("2|RuxUIClient::StartWorker: WorkerProc already running"), 1u);
    // Still one run, still serving.
    served.client->SetSession(-1);
    EXPECT_TRUE(served.ui.NextOfKind(RuxResult_Advise, message));
}

TEST_F(RuxUIClientTest, DestroyRightAfterStartEndsTheRunWhateverItReached)
{
    // Destroy may look for the exit event before the run has created it; the
    // run must then end by itself instead of serving a destroyed client.
    UiSink ui(SessionSinkName());
    for (int round = 0; round < 5; ++round) {
        HostedClient client;
        client->StartWorker();
        client.Destroy();
        ASSERT_TRUE(WaitNoLiveClients()) << "round " << round;
    }
    EXPECT_EQ(log.Count("4|RuxUIClient::~RuxUIClient: WorkerProc not stop"), 0u);
    // Every round's final status reached the user interface, once.
    std::vector<UiMessage> messages;
    ASSERT_TRUE(ui.TakeAllSent(messages));
    EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                            [](const UiMessage& m) { return m.kind == RuxResult_Update && m.text == "{Status:0}"; }),
              5);
}

TEST_F(RuxUIClientTest, PluginDllReportsItsOwnFileVersionWhenTheEngineCannot)
{
    // The fallback reads the module that holds the client, not the host's
    // executable: RUXUI.dll carries the project's version resource (1.2.3.4).
    EngineState state;
    ASSERT_EQ(FaultSwitch(state).SetFail(EngineCall::QueryVersionInfo, true), static_cast<DWORD>(ERROR_SUCCESS));
    UniqueModule dll(LoadLibraryW(L"RUXUI.dll"));
    ASSERT_TRUE(dll.valid()) << GetLastError();
    using Factory = OLVRuxUIPlugin* (*)();
    auto factory =
        reinterpret_cast<Factory>(reinterpret_cast<void (*)()>(GetProcAddress(dll.get(), MAKEINTRESOURCEA(2))));
    ASSERT_NE(factory, nullptr);
    UiSink ui(SessionSinkName());
    OLVRuxUIPlugin* client = factory();
    ASSERT_NE(client, nullptr);
    client->StartWorker();
    UiMessage push;
    bool pushed = ui.NextOfKind(RuxResult_Advise, push);
    client->Destroy();
    ASSERT_TRUE(pushed);
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(dll.get(), path, MAX_PATH);
    std::wstring own = GetFileVersionString(path);
    ASSERT_FALSE(own.empty());
    std::string expected = "Version:\"" + std::string(own.begin(), own.end()) + "\",SpyScanVersion:\"0.0.0.0\"";
    EXPECT_NE(push.text.find(expected), std::string::npos) << push.text;
}
