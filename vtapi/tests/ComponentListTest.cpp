#include "vtapi/ComponentList.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

TEST(ComponentList, EncodedListDecodesToTheSameComponentsInOrder)
{
    const std::vector<std::vector<EngineComponent>> lists = {
        {},
        {{L"Engine", L"1.0"}},
        {{L"B", L"2"}, {L"A", L"1"}, {L"Name", L"v=with=equals"}, {L"Empty", L""}},
    };
    for (const auto& list : lists) {
        std::wstring data = ComponentList::Encode(list);
        // REG_MULTI_SZ: ends in two zeros whatever the list holds.
        ASSERT_GE(data.size(), 2u);
        EXPECT_EQ(data[data.size() - 1], L'\0');
        EXPECT_EQ(data[data.size() - 2], L'\0');
        EXPECT_EQ(ComponentList::Decode(data), list);
    }
}

TEST(ComponentList, DecodeReadsDataWithoutTerminatorsAndSkipsStringsThatNameNoComponent)
{
    EXPECT_EQ(ComponentList::Decode(L"A=1\0B=2"s), (std::vector<EngineComponent>{{L"A", L"1"}, {L"B", L"2"}}));
    EXPECT_EQ(ComponentList::Decode(L"junk\0=nameless\0C=3\0\0"s), (std::vector<EngineComponent>{{L"C", L"3"}}));
    EXPECT_TRUE(ComponentList::Decode(L""s).empty());
}

TEST(ComponentList, ParseAcceptsWhatFitsAnEntryAndNothingElse)
{
    struct {
        std::wstring text;
        bool ok;
    } const cases[] = {
        {L"Engine=3.1.0.7", true},
        {L"Engine=", true},
        {L"Engine", false},
        {L"=1.0", false},
        {std::wstring(511, L'n') + L"=1", true},
        {std::wstring(512, L'n') + L"=1", false},
        {L"E=" + std::wstring(127, L'9'), true},
        {L"E=" + std::wstring(128, L'9'), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.text.size() << " characters");
        EngineComponent component;
        std::wstring reason;
        EXPECT_EQ(ComponentList::Parse(c.text, component, reason), c.ok);
        EXPECT_EQ(reason.empty(), c.ok);
    }
}
