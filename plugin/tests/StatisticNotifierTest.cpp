// The watch on the session user's "Stats" key, driven through the registry as
// the engine drives it, with the user interface as a real sink.
#include "plugin/RuxUIClient.h"
#include "plugin/tests/ClientTestSupport.h"

#include "contracts/RuxExtensions.h"
#include "vtapi/EngineState.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <string>

using namespace clienttest;

namespace {

constexpr const wchar_t* StatsPath = L"Software\\Halvern\\OLV\\Stats";
constexpr const wchar_t* DetailPath = L"Software\\Halvern\\OLV\\Stats\\Detail";

// Field indexes of the engine's statistics values.
constexpr size_t BlockedA = 0;
constexpr size_t Suspicious = 1;
constexpr size_t HarmfulDataSize = 8;

std::string StatisticsText(uint32_t malicious, uint32_t suspicious, uint32_t harmful)
{
    return "{TotalMaliciousBlocked:" + std::to_string(malicious) + ",TotalSuspiciousBlocked:" +
           std::to_string(suspicious) + ",TotalIgnored:0,HarmfulDataSize:" + std::to_string(harmful) + "}";
}

void CreateKey(const wchar_t* path)
{
    UniqueKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_READ, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
}

// One change each: the key must exist already.
void SetDword(const wchar_t* path, const wchar_t* name, DWORD value)
{
    UniqueKey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_SET_VALUE, key.put()), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)),
              ERROR_SUCCESS);
}

// The test's own watch on the "Stats" key, armed once. The system notifies
// every watch of a key of the same change together: once this one has fired,
// a watch of the client's that was armed would have fired too.
class StatsWitness {
public:
    StatsWitness()
    {
        armed = RegOpenKeyExW(HKEY_CURRENT_USER, StatsPath, 0, KEY_NOTIFY, key.put()) == ERROR_SUCCESS &&
                RegNotifyChangeKeyValue(key.get(), TRUE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                                        event.get(), TRUE) == ERROR_SUCCESS;
    }
    bool Fired() const { return armed && WaitForSingleObject(event.get(), 5000) == WAIT_OBJECT_0; }

private:
    UniqueKey key;
    UniqueEvent event{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    bool armed = false;
};

using StatisticNotifierTest = ClientTest;

}  // namespace

TEST_F(StatisticNotifierTest, EachChangeUnderStatsBringsExactlyOneStatisticsPush)
{
    ASSERT_EQ(EngineState().EnsureStatsKey(), static_cast<DWORD>(ERROR_SUCCESS));
    ServedClient served;
    EXPECT_EQ(log.Count("4|RuxUIClient::SetupStatisticNotifyer: notifyer set success"), 1u);
    ASSERT_TRUE(served.Start());
    UiMessage message;

    const struct {
        const char* change;
        std::function<void()> apply;
        std::string expected;
    } changes[] = {
        {"value in the key", [] { EngineState().SetStatistic(BlockedA, 5); }, StatisticsText(5, 0, 0)},
        {"another value", [] { EngineState().SetStatistic(Suspicious, 7); }, StatisticsText(5, 7, 0)},
        {"sub-key created", [] { CreateKey(DetailPath); }, StatisticsText(5, 7, 0)},
        {"value in the sub-key", [] { SetDword(DetailPath, L"Seen", 2); }, StatisticsText(5, 7, 0)},
        {"sub-key deleted", [] { RegDeleteKeyW(HKEY_CURRENT_USER, DetailPath); }, StatisticsText(5, 7, 0)},
        {"harmful data size", [] { EngineState().SetStatistic(HarmfulDataSize, 4096); }, StatisticsText(5, 7, 4096)},
    };
    for (const auto& c : changes) {
        c.apply();
        ASSERT_TRUE(served.ui.NextOfKind(RuxResult_Update, message)) << c.change;
        EXPECT_EQ(message.text, c.expected) << c.change;
        // One change, one push: the watch fires once per arming. A second
        // signal, set by now, would be served before the advise asked for here.
        served.client->SetSession(-1);
        ASSERT_TRUE(served.ui.Next(message)) << c.change;
        EXPECT_EQ(message.kind, RuxResult_Advise) << c.change << ": " << message.text;
    }
    EXPECT_EQ(log.Count("1|RuxUIClient::UpdateUIStatistic"), std::size(changes));
    EXPECT_EQ(log.Count("3|RuxUIClient::UpdateStatisticNotifyer: failed to UpdateStatisticNotifyer"), 0u);
}

TEST_F(StatisticNotifierTest, MissingStatsKeyIsRetriedAtEachTimeOutUntilPushesFlow)
{
    // The engine state was removed: the user has no "Stats" key yet.
    UniqueKey probe;
    ASSERT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, StatsPath, 0, KEY_READ, probe.put()), ERROR_SUCCESS);

    PlatformOverride platform;
    ServedClient served;
    EXPECT_EQ(log.Count("3|RuxUIClient::SetupStatisticNotifyer: failed to open Settings reg value " +
                        std::to_string(ERROR_FILE_NOT_FOUND)),
              1u);
    EXPECT_EQ(log.Count("4|RuxUIClient::SetupStatisticNotifyer: notifyer set success"), 0u);
    ASSERT_TRUE(served.Start(100));
    UiMessage message;

    // The key appears (the engine creates it when a session is set); a later
    // time-out opens it and arms the watch.
    ASSERT_EQ(EngineState().EnsureStatsKey(), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_TRUE(log.WaitFor("4|RuxUIClient::SetupStatisticNotifyer: notifyer set success"));

    EngineState().SetStatistic(BlockedA, 11);
    ASSERT_TRUE(served.ui.NextOfKind(RuxResult_Update, message));
    EXPECT_EQ(message.text, StatisticsText(11, 0, 0));

    // Once the key is open, a time-out no longer sets the watch up again: the
    // first of two whole checks would have.
    size_t setups = log.Count("4|RuxUIClient::SetupStatisticNotifyer: notifyer set success");
    ASSERT_TRUE(platform.WaitForPeriodicChecks(2));
    EXPECT_EQ(log.Count("4|RuxUIClient::SetupStatisticNotifyer: notifyer set success"), setups);
}

TEST_F(StatisticNotifierTest, WatchIsSetUpAsTheSessionUserAndLeavesTheThreadAsItWas)
{
    ASSERT_EQ(EngineState().EnsureStatsKey(), static_cast<DWORD>(ERROR_SUCCESS));
    HostedClient client;  // constructs, and so sets the watch up, on this thread
    EXPECT_EQ(log.Count("4|RuxUIClient::SetupStatisticNotifyer: set to session id = " +
                        std::to_string(WTSGetActiveConsoleSessionId())),
              1u);
    EXPECT_EQ(log.Count("4|RuxUIClient::SetupStatisticNotifyer: notifyer set success"), 1u);
    UniqueToken token;
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.put()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));

    // The watch is armed: a change signals the statistics event once.
    HANDLE statsEvent = client.Client()->StatisticsEvent();
    ASSERT_NE(statsEvent, nullptr);
    EXPECT_EQ(WaitForSingleObject(statsEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EngineState().SetStatistic(BlockedA, 1);
    EXPECT_EQ(WaitForSingleObject(statsEvent, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    StatsWitness witness;
    EngineState().SetStatistic(BlockedA, 2);
    ASSERT_TRUE(witness.Fired());
    EXPECT_EQ(WaitForSingleObject(statsEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "not re-armed yet";
}

// "Enable" serves the session now at the console, and the watch must follow
// it at once. It stayed where it was: here closed, since the previous console
// session's user was unknown, and with the ids then matching, the periodic
// check never set it up for the new session (this test's check is minutes away).
TEST_F(StatisticNotifierTest, EnableSetsTheWatchUpForTheNewConsoleSession)
{
    ASSERT_EQ(EngineState().EnsureStatsKey(), static_cast<DWORD>(ERROR_SUCCESS));
    const uint32_t console = WTSGetActiveConsoleSessionId();
    PlatformOverride platform;
    platform.SetActiveSession(console + 1);
    platform.SetUserMissing(console + 1);
    UiSink ui(SessionSinkName());
    HostedClient client;
    ASSERT_EQ(log.Count("3|RuxUIClient::SetupStatisticNotifyer: failed to open token session session id = " +
                        std::to_string(console + 1)),
              1u);
    client.Client()->SetSessionCheckInterval(600000);
    client->StartWorker();
    ASSERT_TRUE(log.WaitFor("2|RuxUIClient::WorkerProc: start service and waiting events"));

    platform.SetActiveSession(console);
    ASSERT_TRUE(SendCall(RuxBuildItem("{s:s,s:b}", "proc", "Enable", "arg", 1)));
    UiMessage message;
    ASSERT_TRUE(ui.NextOfKind(RuxResult_Advise, message));
    EngineState().SetStatistic(BlockedA, 3);
    ASSERT_TRUE(ui.NextOfKind(RuxResult_Update, message)) << "no watch on the console session's user";
    EXPECT_EQ(message.text, StatisticsText(3, 0, 0));
}

// The user goes: the console moves to a session without a user (the logon
// screen), or the served session's own user logs off, seen by the periodic
// check or told by the host (SetSession). The watch closes at once, so that it
// no longer holds that user's hive loaded, and is set up again once a user is
// there. The previous user's key stayed open instead: for good when the
// session stayed the same.
TEST_F(StatisticNotifierTest, WatchWhoseUserGoesIsClosedAndSetUpAgainForTheNextUser)
{
    ASSERT_EQ(EngineState().EnsureStatsKey(), static_cast<DWORD>(ERROR_SUCCESS));
    const uint32_t console = WTSGetActiveConsoleSessionId();
    const struct {
        const char* how;
        uint32_t session;  // the session served once the user has gone
        bool hostTells;    // SetSession, with a periodic check minutes away
    } departures[] = {
        {"console moves to a session without a user", console + 1, false},
        {"the session's user logs off", console, false},
        {"the host reports the logoff", console, true},
    };
    const std::string armed = "4|RuxUIClient::SetupStatisticNotifyer: notifyer set success";
    uint32_t blocked = 0;
    for (const auto& d : departures) {
        SCOPED_TRACE(d.how);
        const std::string noUser = "3|RuxUIClient::SetupStatisticNotifyer: failed to open token session session id = " +
                                   std::to_string(d.session);
        size_t armedBefore = log.Count(armed);
        size_t noUserBefore = log.Count(noUser);
        PlatformOverride platform;
        UiSink ui("QClient(" + std::to_string(d.session) + ")");
        HostedClient client;
        client.Client()->SetSessionCheckInterval(d.hostTells ? 600000 : 100);
        client->StartWorker();
        UiMessage message;
        if (d.session == console) {
            ASSERT_TRUE(ui.NextOfKind(RuxResult_Advise, message));  // serving, with its watch armed
        }
        ASSERT_EQ(log.Count(armed), armedBefore + 1);

        platform.SetUserMissing(d.session);
        platform.SetActiveSession(d.session);
        if (d.hostTells)
            client->SetSession(static_cast<int32_t>(d.session));
        ASSERT_TRUE(log.WaitFor(noUser, noUserBefore + 1)) << "the watch of the gone user is not closed";

        platform.SetUserMissing(RuxUIClient::NoSession);
        if (d.hostTells)
            client->SetSession(static_cast<int32_t>(d.session));
        ASSERT_TRUE(log.WaitFor(armed, armedBefore + 2));
        // Closing a watched key may signal its event once; that push went out
        // before the new watch was armed.
        while (ui.Next(message, 0)) {
        }
        const std::string pushed = "1|RuxUIClient::UpdateUIStatistic";
        size_t pushedBefore = log.Count(pushed);
        EngineState().SetStatistic(BlockedA, ++blocked);  // a change: Wine does not signal equal data
        if (d.session == console) {
            EXPECT_TRUE(ui.NextOfKind(RuxResult_Update, message));
        } else {
            // The user interface of another session is a process of that
            // session, which Wine cannot run ("QClient(N)" must be served in
            // session N): the push is seen as it starts.
            EXPECT_TRUE(log.WaitFor(pushed, pushedBefore + 1));
        }
        client.Destroy();
        ASSERT_TRUE(WaitNoLiveClients());
    }
}

// A token the client cannot impersonate: RegOpenCurrentUser would then open
// the host's own hive (SYSTEM's under a service), and the watch was armed
// there. It stays closed instead, for the time-out to retry.
TEST_F(StatisticNotifierTest, UserWhoseTokenCannotBeImpersonatedGetsNoWatchOnAnotherHive)
{
    ASSERT_EQ(EngineState().EnsureStatsKey(), static_cast<DWORD>(ERROR_SUCCESS));
    const uint32_t console = WTSGetActiveConsoleSessionId();
    PlatformOverride platform;
    platform.SetUserUnusable(console);
    HostedClient client;
    EXPECT_EQ(log.Count("3|RuxUIClient::SetupStatisticNotifyer: failed to impersonate the user of session id = " +
                        std::to_string(console)),
              1u);
    EXPECT_EQ(log.Count("4|RuxUIClient::SetupStatisticNotifyer: notifyer set success"), 0u);
    StatsWitness witness;
    EngineState().SetStatistic(BlockedA, 1);
    ASSERT_TRUE(witness.Fired());
    EXPECT_EQ(WaitForSingleObject(client.Client()->StatisticsEvent(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

// Armed first on the host's thread, the watch must outlive that thread, which
// on Windows ends a watch that is not thread-agnostic (signalling it once).
// Systems before Windows 8 refuse the flag: the watch is then armed without
// it, and works.
TEST_F(StatisticNotifierTest, WatchIsThreadAgnosticWhereTheSystemHasItAndArmedWithoutItWhereNot)
{
    ASSERT_EQ(EngineState().EnsureStatsKey(), static_cast<DWORD>(ERROR_SUCCESS));
    const DWORD filter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;
    const struct {
        bool refused;
        DWORD armed;
    } systems[] = {{false, filter | REG_NOTIFY_THREAD_AGNOSTIC}, {true, filter}};
    uint32_t blocked = 0;
    for (const auto& system : systems) {
        PlatformOverride platform;
        platform.RefuseThreadAgnosticWatch(system.refused);
        HostedClient client;
        EXPECT_EQ(platform.ArmedWatchFilter(), system.armed) << system.refused;
        EngineState().SetStatistic(BlockedA, ++blocked);
        EXPECT_EQ(WaitForSingleObject(client.Client()->StatisticsEvent(), 5000), static_cast<DWORD>(WAIT_OBJECT_0))
            << system.refused;
    }
    EXPECT_EQ(log.Count("3|RuxUIClient::UpdateStatisticNotifyer: failed to create notifier 87"), 0u);
}
