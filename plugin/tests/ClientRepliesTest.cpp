// The client's answers to queries and its shutdown, with callers that do not
// play fair: reply sinks that stall, a reply address of another user or
// session, a slow engine. The reply sinks that stall are ruxfuzz's raw pipes,
// served by another process of the user (this test program again), as a
// hostile process of the console user would serve them.
#include "plugin/tests/ClientTestSupport.h"

#include "contracts/RuxExtensions.h"
#include "tests/support/ChildScenario.h"
#include "tools/ruxfuzz/StallingSinks.h"
#include "vtapi/EngineState.h"
#include "vtapi/FaultSwitch.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

using namespace clienttest;
using namespace testsupport;

namespace {

// After the client is gone: what it sent the user interface ends with the
// final "Status" 0.
bool StatusZeroCameLast(UiSink& ui)
{
    std::vector<UiMessage> messages;
    return WaitNoLiveClients(10000) && ui.TakeAllSent(messages) && !messages.empty() &&
           messages.back().kind == RuxResult_Update && messages.back().text == "{Status:0}";
}

// What the library counts a blob item of `length` bytes at (RuxGetItemSize).
uint32_t BlobItemBytes(size_t length)
{
    std::string data(length, 'c');
    RuxItem blob = RuxBuildBlob(data.data(), static_cast<uint32_t>(length));
    uint32_t bytes = 0;
    RuxGetItemSize(blob, &bytes);
    RuxReleaseItem(blob);
    return bytes;
}

using ClientReplies = ClientTest;

}  // namespace

// StallingReplySinks READY QUIT COUNT: serves the two stalling sinks, sends
// COUNT queries "RequestSBSetting" naming them in turn to "SB", sets READY and
// serves until QUIT.
OLV_CHILD_SCENARIO(StallingReplySinks)
{
    UniqueEvent ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, args.at(0).c_str()));
    UniqueEvent quit(OpenEventW(SYNCHRONIZE, FALSE, args.at(1).c_str()));
    if (!ready.valid() || !quit.valid())
        return 1;
    const int count = std::stoi(args.at(2));
    StallingSinks sinks;
    std::string error;
    if (!sinks.Start(error))
        return 3;
    RuxInit();
    int sent = 0;
    for (int i = 0; i < count; ++i)
        sent += SendQuery("RequestSBSetting", nullptr, "hostile", (i % 2 ? sinks.SilentName() : sinks.DripName()).c_str(),
                          "SB");
    RuxExit();
    SetEvent(ready.get());
    WaitForSingleObject(quit.get(), INFINITE);
    return sent == count ? 0 : 2;
}

// A process of the user named reply sinks that drip a byte every few seconds
// or never answer. The client answered inside its drain, under its lock, each
// read with a time-out of its own: the genuine query behind them waited for
// minutes, and so did Destroy.
TEST_F(ClientReplies, StalledReplySinksHoldNeitherAGenuineReplyNorDestroy)
{
    ServedClient served;
    ASSERT_TRUE(served.Start());

    std::wstring tag = std::to_wstring(GetCurrentProcessId());
    std::wstring readyName = L"OlvStallReady-" + tag;
    std::wstring quitName = L"OlvStallQuit-" + tag;
    UniqueEvent ready(CreateEventW(nullptr, TRUE, FALSE, readyName.c_str()));
    UniqueEvent quit(CreateEventW(nullptr, TRUE, FALSE, quitName.c_str()));
    RunningProcess hostile = StartChildScenario("StallingReplySinks", {readyName, quitName, L"40"});
    ASSERT_TRUE(hostile.WaitForEvent(ready.get(), 20000)) << "the hostile process did not start";
    // StallingSinks' names, made with the hostile process's id.
    const std::string drip = "RuxFuzzDrip." + std::to_string(hostile.Id());

    // Answered within a second; ten leaves room for a loaded machine, and
    // none for the old minutes.
    UiMessage message;
    ASSERT_TRUE(SendQuery("RequestSBSetting", nullptr, "genuine", "SettingsDialog", "Answers"));
    ASSERT_TRUE(served.replies.NextOfKind(RuxResult_Reply, message, 10000))
        << "the genuine query waited for the stalled ones";
    EXPECT_NE(message.text.find("cookie:\"genuine\""), std::string::npos) << message.text;
    // A target that timed out costs no second deadline while it is held back.
    EXPECT_TRUE(log.WaitForStarting("3|ReplyPool::Hand: reply to '" + drip + "' dropped: its last exchange failed"));

    ULONGLONG start = GetTickCount64();
    served.client.Destroy();
    ULONGLONG took = GetTickCount64() - start;
    EXPECT_LT(took, 6000u) << "Destroy waited for the stalled replies";
    EXPECT_TRUE(StatusZeroCameLast(served.ui));

    SetEvent(quit.get());
    EXPECT_EQ(hostile.Finish().exitCode, 0u);
}

// A reply goes only where the asker could send it itself. The client connected
// wherever "source" named, as the host's own identity: a process could have a
// sink of another user or session answered, past that sink's own checks.
TEST_F(ClientReplies, ReplyGoesOnlyToASinkOfTheAskersUserInTheAskersSession)
{
    PlatformOverride platform;
    ServedClient served;
    ASSERT_TRUE(served.Start());
    UiMessage message;
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
        EXPECT_FALSE(served.replies.Next(message, 0)) << message.text;
    }
    EXPECT_TRUE(log.WaitForStarting("3|RuxUIClient::OnService: RuxResult_Query reply sink 'SettingsDialog' is not "
                                    "served by the user of process "));
    // The asker itself is answered there.
    platform.DisguiseSenders(nullptr, RuxUIClient::NoSession);
    ASSERT_TRUE(SendQuery("RequestSBSetting", nullptr, "itself", "SettingsDialog", "Answers"));
    ASSERT_TRUE(served.replies.NextOfKind(RuxResult_Reply, message));
    EXPECT_NE(message.text.find("cookie:\"itself\""), std::string::npos) << message.text;
}

// Each engine read of a query took 3 s inside the drain, under the client's
// lock: one query held Destroy for about half a minute, and a hung engine
// would have held it for ever.
TEST_F(ClientReplies, SlowEngineDoesNotHoldDestroy)
{
    ServedClient served;
    ASSERT_TRUE(served.Start());
    EngineState state;
    ASSERT_EQ(FaultSwitch(state).SetDelay(EngineCall::GetConfigOption, 3000), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_TRUE(SendQuery("RequestSBSetting", nullptr, "slow", "SettingsDialog", "Answers"));
    ASSERT_TRUE(log.WaitFor("4|RuxUIClient::OnService: RuxResult_Query receive string RequestSBSetting"));

    ULONGLONG start = GetTickCount64();
    served.client.Destroy();
    ULONGLONG took = GetTickCount64() - start;
    // The worker's wait (1 s) and the final status; the old wait was 30 s.
    EXPECT_LT(took, 6000u) << "Destroy waited for the engine";
    EXPECT_TRUE(StatusZeroCameLast(served.ui));
    // The run left the query between two reads, unanswered.
    std::vector<UiMessage> answers;
    ASSERT_TRUE(served.replies.TakeAllSent(answers));
    EXPECT_TRUE(answers.empty()) << answers.front().text;
}

// The cookie comes back in the answer: the largest that the library counts
// at the bound is handed back, and a query whose cookie is a byte larger is
// not answered.
TEST_F(ClientReplies, CookieUpToItsBoundIsHandedBackAndALargerOneIsNotAnswered)
{
    constexpr uint32_t Bound = RuxUIClient::MaxCookieBytes;
    size_t length = Bound;
    while (BlobItemBytes(length) > Bound)
        --length;
    ASSERT_EQ(BlobItemBytes(length), Bound) << "no blob is counted at the bound itself";
    const uint32_t over = BlobItemBytes(length + 1);

    ServedClient served;
    ASSERT_TRUE(served.Start());
    std::string cookie(length + 1, 'c');
    ASSERT_TRUE(SendQuery("RequestSBSetting", nullptr, RuxBuildBlob(cookie.data(), static_cast<uint32_t>(length)),
                          "SettingsDialog", "Answers"));
    ASSERT_TRUE(SendQuery("RequestSBSetting", nullptr, RuxBuildBlob(cookie.data(), static_cast<uint32_t>(length + 1)),
                          "SettingsDialog", "Answers"));
    ASSERT_TRUE(SendQuery("RequestSBSetting", nullptr, "last", "SettingsDialog", "Answers"));
    // Replies to one target go one at a time, in the order asked.
    std::vector<UiMessage> replies;
    for (UiMessage message; replies.empty() || replies.back().text.find("cookie:\"last\"") == std::string::npos;) {
        ASSERT_TRUE(served.replies.NextOfKind(RuxResult_Reply, message));
        replies.push_back(message);
    }
    ASSERT_EQ(replies.size(), 2u) << "the cookie over the bound was answered";
    EXPECT_NE(replies[0].text.find("cookie:blob\"" + std::string(length, 'c') + "\""), std::string::npos);
    EXPECT_EQ(log.Count("3|RuxUIClient::OnService: RuxResult_Query cookie of " + std::to_string(over) +
                        " bytes, no reply to 'SettingsDialog'"),
              1u);
}
