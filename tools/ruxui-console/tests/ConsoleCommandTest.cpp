// The console's command language: what each line becomes, and the lines it
// refuses with a reason.
#include "tools/ruxui-console/ConsoleCommand.h"

#include <gtest/gtest.h>

using Kind = ConsoleCommand::Kind;

TEST(ConsoleCommand, ParsesEveryCommandForm)
{
    ConsoleCommand c;
    std::string error;
    ASSERT_TRUE(ConsoleCommand::Parse("enable true", c, error));
    EXPECT_EQ(c.kind, Kind::Enable);
    EXPECT_TRUE(c.flag);
    ASSERT_TRUE(ConsoleCommand::Parse("  enable   off ", c, error));
    EXPECT_FALSE(c.flag);
    ASSERT_TRUE(ConsoleCommand::Parse("call ShutDownSB", c, error));
    EXPECT_EQ(c.kind, Kind::Call);
    EXPECT_EQ(c.name, "ShutDownSB");
    ASSERT_TRUE(ConsoleCommand::Parse("query ApplySBSetting EnableScanSpy=true EnableVirtual=0", c, error));
    EXPECT_EQ(c.kind, Kind::Query);
    ASSERT_EQ(c.settings.size(), 2u);
    EXPECT_EQ(c.settings[0], std::make_pair(std::string("EnableScanSpy"), true));
    EXPECT_EQ(c.settings[1], std::make_pair(std::string("EnableVirtual"), false));
    ASSERT_TRUE(ConsoleCommand::Parse("wait-for reply:\"Status\":1 2500", c, error));
    EXPECT_EQ(c.kind, Kind::WaitFor);
    EXPECT_EQ(c.name, "reply");
    EXPECT_EQ(c.contains, "\"Status\":1");
    EXPECT_EQ(c.milliseconds, 2500u);
    ASSERT_TRUE(ConsoleCommand::Parse("listen 10", c, error));
    EXPECT_EQ(c.kind, Kind::Listen);
    ASSERT_TRUE(ConsoleCommand::Parse("# a comment", c, error));
    EXPECT_EQ(c.kind, Kind::None);
    ASSERT_TRUE(ConsoleCommand::Parse("", c, error));
    EXPECT_EQ(c.kind, Kind::None);
}

TEST(ConsoleCommand, RefusesMalformedLinesWithAReason)
{
    const char* bad[] = {
        "enable",          "enable maybe",       "call",           "call Two Words", "call bad-name",
        "query",           "query X Setting",    "query X S=yes",  "query X =true",  "wait-for",
        "wait-for nothing", "wait-for advise 1x", "wait-for advise -5", "listen",     "listen soon",
        "launch rockets",
    };
    for (const char* line : bad) {
        ConsoleCommand c;
        c.name = "untouched";
        std::string error;
        EXPECT_FALSE(ConsoleCommand::Parse(line, c, error)) << line;
        EXPECT_FALSE(error.empty()) << line;
        EXPECT_EQ(c.name, "untouched") << line;
    }
}
