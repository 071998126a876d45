// Items as the console prints them.
#include "tools/ruxui-console/ItemJson.h"

#include <gtest/gtest.h>

TEST(ItemJson, PrintsEveryItemTypeAsJson)
{
    struct Case {
        RuxItem item;
        const char* json;
    } cases[] = {
        {RuxBuildItem("s", "ShowSBSettingDialog"), "\"ShowSBSettingDialog\""},
        {RuxBuildItem("{s:i,s:s,s:b}", "Status", -1, "Version", "1.2", "On", 1),
         "{\"Status\":-1,\"Version\":\"1.2\",\"On\":true}"},
        {RuxBuildItem("{s:{s:b}}", "arg", "EnableScanSpy", 0), "{\"arg\":{\"EnableScanSpy\":false}}"},
        {RuxBuildItem("s", "quote\" back\\ tab\t"), "\"quote\\\" back\\\\ tab\\u0009\""},
        {RuxBuildBlob("\x01\xab", 2), "{\"$blob\":\"01ab\"}"},
        {RuxBuildItem("{}"), "{}"},
        {nullptr, "null"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ItemJson::Format(c.item), c.json);
        RuxReleaseItem(c.item);
    }
}

TEST(ItemJson, ConvertsAnsiTextToUtf8)
{
    // 0xE9 is e-acute in code page 1252, the ANSI code page here.
    if (GetACP() != 1252)
        GTEST_SKIP() << "needs code page 1252";
    EXPECT_EQ(ItemJson::Quote("caf\xe9"), "\"caf\xc3\xa9\"");
}
