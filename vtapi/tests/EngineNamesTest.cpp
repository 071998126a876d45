// The names by which tools and fault switches address calls and options.
#include "vtapi/EngineCall.h"
#include "vtapi/OptionName.h"

#include <gtest/gtest.h>

#include <string>

TEST(EngineNames, EveryCallIsFoundByItsExportNameWithOrWithoutPrefixInAnyCase)
{
    for (std::size_t i = 0; i < EngineCallCount; ++i) {
        auto call = static_cast<EngineCall>(i);
        std::wstring name = EngineCallName(call);
        ASSERT_EQ(name.rfind(L"VtApi_", 0), 0u) << i;
        std::wstring bare = name.substr(6);
        std::wstring lower = bare;
        for (wchar_t& c : lower)
            c = static_cast<wchar_t>(towlower(c));
        for (const std::wstring& text : {name, bare, lower}) {
            EngineCall found{};
            EXPECT_TRUE(FindEngineCall(text, found)) << testing::PrintToString(text);
            EXPECT_EQ(found, call);
        }
    }
    EngineCall found{};
    EXPECT_FALSE(FindEngineCall(L"VtApi_", found));
    EXPECT_FALSE(FindEngineCall(L"GetStatistic", found));
    EXPECT_EQ(std::wstring(EngineCallName(EngineCall::QueryVersionInfo)), L"VtApi_Query_VersionInfo");
}

TEST(EngineNames, OptionsAreReadAsIdsOneToElevenOrAsSettingNames)
{
    struct {
        const wchar_t* text;
        bool ok;
        int32_t id;
    } const cases[] = {
        {L"1", true, 1},           {L"11", true, 11},        {L"0", false, 0},
        {L"12", false, 0},         {L"011", false, 0},       {L"-1", false, 0},
        {L"", false, 0},           {L"EnableVirtual", true, 2}, {L"enablescanspy", true, 10},
        {L"EnableAutoUpdate", true, 11}, {L"KeystrokeSetting", true, 4}, {L"EnableVirtualX", false, 0},
    };
    for (const auto& c : cases) {
        int32_t id = -5;
        EXPECT_EQ(ParseOptionId(c.text, id), c.ok) << testing::PrintToString(std::wstring(c.text));
        EXPECT_EQ(id, c.ok ? c.id : -5);
    }
    int names = 0;
    for (int32_t id = FirstOptionId; id <= LastOptionId; ++id)
        names += OptionSettingName(id) != nullptr;
    EXPECT_EQ(names, 10);
    EXPECT_EQ(OptionSettingName(1), nullptr);
}
