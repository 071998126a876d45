#include "tests/support/EngineSandbox.h"
#include "vtapi/EngineState.h"

#include <gtest/gtest.h>

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
