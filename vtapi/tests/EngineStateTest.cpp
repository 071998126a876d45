#include "tests/support/EngineSandbox.h"
#include "vtapi/EngineState.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using EngineStateTest = testsupport::EngineSandbox;

TEST_F(EngineStateTest, KeysHeldOpenFollowTheStateWhenAnotherRemovesAndRebuildsIt)
{
    EngineState holder;
    ASSERT_EQ(holder.SetMessages(5), ERROR_SUCCESS);
    ASSERT_EQ(holder.SetStatistic(0, 1), ERROR_SUCCESS);

    // Another party (vtctl reset) removes the tree under the open keys.
    ASSERT_EQ(EngineState().Remove(), ERROR_SUCCESS);
    uint32_t messages = 99;
    ASSERT_EQ(holder.GetMessages(messages), ERROR_SUCCESS);
    EXPECT_EQ(messages, 0u);
    StatisticsValues values{};
    values[0] = 99;
    ASSERT_EQ(holder.GetStatistics(values), ERROR_SUCCESS);
    EXPECT_EQ(values[0], 0u);

    // A write re-creates the state, and a fresh reader sees it.
    ASSERT_EQ(holder.SetMessages(6), ERROR_SUCCESS);
    ASSERT_EQ(holder.SetStatistic(0, 2), ERROR_SUCCESS);
    ASSERT_EQ(EngineState().GetMessages(messages), ERROR_SUCCESS);
    EXPECT_EQ(messages, 6u);
    ASSERT_EQ(EngineState().GetStatistics(values), ERROR_SUCCESS);
    EXPECT_EQ(values[0], 2u);

    // Removed and rebuilt by others while this one still holds the old keys.
    ASSERT_EQ(EngineState().Remove(), ERROR_SUCCESS);
    ASSERT_EQ(EngineState().SetMessages(7), ERROR_SUCCESS);
    ASSERT_EQ(holder.GetMessages(messages), ERROR_SUCCESS);
    EXPECT_EQ(messages, 7u);
}

TEST_F(EngineStateTest, AbsentValuesReadAsTheirDefaults)
{
    bool running = true;
    int32_t option = 0;
    uint32_t messages = 9;
    std::vector<uint32_t> sessions = {4};
    std::vector<EngineComponent> components;
    bool usingDefaults = false;
    std::wstring path;
    ASSERT_EQ(state_.Remove(), ERROR_SUCCESS);
    ASSERT_EQ(state_.GetRunning(running), ERROR_SUCCESS);
    ASSERT_EQ(state_.GetOption(11, option), ERROR_SUCCESS);
    ASSERT_EQ(state_.GetMessages(messages), ERROR_SUCCESS);
    ASSERT_EQ(state_.GetSessions(sessions), ERROR_SUCCESS);
    ASSERT_EQ(state_.GetComponents(components, usingDefaults), ERROR_SUCCESS);
    ASSERT_EQ(state_.GetVirtualDataPath(path), ERROR_SUCCESS);
    EXPECT_FALSE(running);
    EXPECT_EQ(option, EngineState::DefaultOptionValue);
    EXPECT_EQ(messages, 0u);
    EXPECT_TRUE(sessions.empty());
    EXPECT_TRUE(usingDefaults);
    EXPECT_EQ(components, ComponentList::Defaults());
    EXPECT_EQ(path.substr(path.size() - 11), L"\\OLVVirtual");
}

// Stored session ids are read up to 32 bits and 10 digits (strings that are
// no such number name no session), and a counter stops at its top.
TEST_F(EngineStateTest, StoredNumbersAreTakenUpTo32BitsAndCountersStopAtTheirTop)
{
    ASSERT_EQ(state_.EnsureStatsKey(), ERROR_SUCCESS);
    UniqueKey base;
    ASSERT_EQ(state_.OpenKey(EngineState::BaseKeyPath, KEY_SET_VALUE, base), ERROR_SUCCESS);
    std::wstring sessions;
    for (const wchar_t* text : {L"4294967295", L"4294967296", L"0000000007", L"00000000007", L"-1", L"", L" 5"}) {
        sessions += text;
        sessions += L'\0';
    }
    sessions += L"12";  // the last one without its terminator
    ASSERT_EQ(RegSetValueExW(base.get(), L"Sessions", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(sessions.data()),
                             static_cast<DWORD>(sessions.size() * sizeof(wchar_t))),
              ERROR_SUCCESS);
    std::vector<uint32_t> read;
    ASSERT_EQ(state_.GetSessions(read), ERROR_SUCCESS);
    EXPECT_EQ(read, (std::vector<uint32_t>{4294967295u, 7, 12}));

    ASSERT_EQ(state_.SetStatistic(2, UINT32_MAX - 5), ERROR_SUCCESS);
    uint32_t result = 0;
    EXPECT_EQ(state_.AddToStatistic(2, 5, result), ERROR_SUCCESS);
    EXPECT_EQ(result, UINT32_MAX);
    EXPECT_EQ(state_.AddToStatistic(2, 1, result), static_cast<DWORD>(ERROR_ARITHMETIC_OVERFLOW));
    StatisticsValues values{};
    ASSERT_EQ(state_.GetStatistics(values), ERROR_SUCCESS);
    EXPECT_EQ(values[2], UINT32_MAX);
}
