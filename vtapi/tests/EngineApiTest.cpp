// The engine's calls for a session whose user is not the calling thread's (a
// LocalSystem host serving the console session's user), which Wine cannot
// show: it has one user, whom WTSQueryUserToken names for every session. The
// SessionUsers seam names another user for the console session; that user's
// hive is a key under HKEY_USERS that the test makes (Wine lets it; on Windows
// only the profile service loads hives there).
#include "tests/support/EngineSandbox.h"
#include "vtapi/EngineApi.h"
#include "vtapi/EngineState.h"
#include "vtapi/SessionUsers.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace {

constexpr const wchar_t* SessionUserSid = L"S-1-5-21-7-7-7-4242";

class ConsoleUserIsAnother : public SessionUsers {
public:
    DWORD UserOf(uint32_t session, std::wstring& sid) override
    {
        if (session != WTSGetActiveConsoleSessionId())
            return ERROR_NO_SUCH_LOGON_SESSION;
        sid = SessionUserSid;
        return ERROR_SUCCESS;
    }
};

class EngineApiTest : public testsupport::EngineSandbox {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(EngineSandbox::SetUp());
        UniqueKey hive;
        ASSERT_EQ(RegCreateKeyExW(HKEY_USERS, SessionUserSid, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, hive.put(), nullptr),
                  ERROR_SUCCESS);
        SessionUsers::Install(&users_);
    }
    void TearDown() override
    {
        SessionUsers::Install(nullptr);
        RegDeleteTreeW(HKEY_USERS, SessionUserSid);
        RegDeleteKeyW(HKEY_USERS, SessionUserSid);
        EngineSandbox::TearDown();
    }

    ConsoleUserIsAnother users_;
    EngineState sessionUser_{SessionUserSid};
};

}  // namespace

// The engine used to act on the calling thread's user: a LocalSystem host
// read and wrote SYSTEM's hive while the user's tools and the statistics
// watch used the user's.
TEST_F(EngineApiTest, SessionOfAnotherUserReadsAndWritesThatUsersStateAndItsWatchAgrees)
{
    // The caller's own state differs from the session user's in every value read.
    ASSERT_EQ(state_.SetStatistic(0, 1), ERROR_SUCCESS);
    ASSERT_EQ(sessionUser_.SetRunning(true), ERROR_SUCCESS);
    ASSERT_EQ(sessionUser_.SetStatistic(0, 9), ERROR_SUCCESS);

    ASSERT_NE(EngineApi::SetActiveSession(WTSGetActiveConsoleSessionId()), 0) << GetLastError();
    EXPECT_EQ(EngineApi::IsVantorStarted(), 1);
    VtStatisticsRecord record{};
    record.size = sizeof record;
    record.version = 1;
    ASSERT_NE(EngineApi::GetStatistics(&record), 0);
    EXPECT_EQ(record.blockedA, 9u);
    ASSERT_NE(EngineApi::SetConfigOption(5, 0), 0);
    ASSERT_NE(EngineApi::NotifySettingsChange(), 0);
    int32_t value = -1;
    ASSERT_EQ(sessionUser_.GetOption(5, value), ERROR_SUCCESS);
    EXPECT_EQ(value, 0);
    ASSERT_EQ(state_.GetOption(5, value), ERROR_SUCCESS);
    EXPECT_EQ(value, EngineState::DefaultOptionValue);

    // The session user's watch on "Stats" fires for the change the user's own
    // tools make, and the engine reports that change.
    testsupport::KeyWatch stats(sessionUser_, EngineState::StatsKeyPath);
    ASSERT_TRUE(stats.Armed());
    ASSERT_EQ(sessionUser_.SetStatistic(0, 10), ERROR_SUCCESS);
    EXPECT_TRUE(stats.Fired());
    ASSERT_NE(EngineApi::GetStatistics(&record), 0);
    EXPECT_EQ(record.blockedA, 10u);

    StatisticsValues own{};
    ASSERT_EQ(state_.GetStatistics(own), ERROR_SUCCESS);
    EXPECT_EQ(own[0], 1u);
}
