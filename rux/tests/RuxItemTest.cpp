// Items as the plug-in builds and reads them: the format language and the
// accessors with their boundaries.
#include "rux/tests/RuxTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>

using namespace ruxtest;

TEST(RuxBuildItem, BuildsEveryFormatThePluginSends)
{
    struct Case {
        RuxItem item;
        const char* text;
    } cases[] = {
        {RuxBuildItem("s", "ShowSBSettingDialog"), "\"ShowSBSettingDialog\""},
        {RuxBuildItem("{s:i}", "Status", 1), "{Status:1}"},
        {RuxBuildItem("{s:i,s:i,s:i,s:i}", "TotalMaliciousBlocked", 5, "TotalSuspiciousBlocked", -2, "TotalIgnored",
                      0, "HarmfulDataSize", 2147483647),
         "{TotalMaliciousBlocked:5,TotalSuspiciousBlocked:-2,TotalIgnored:0,HarmfulDataSize:2147483647}"},
        {RuxBuildItem("{s:i,s:s,s:s,s:s,s:s,s:i,s:i}", "Status", 0, "Version", "1.2.3.4", "SpyScanVersion", "0.0.0.0",
                      "PhishingDBVersion", "", "SiteDBVersion", "9", "HarmfulDataSize", 7, "TotalSuspiciousBlocked", 8),
         "{Status:0,Version:\"1.2.3.4\",SpyScanVersion:\"0.0.0.0\",PhishingDBVersion:\"\",SiteDBVersion:\"9\","
         "HarmfulDataSize:7,TotalSuspiciousBlocked:8}"},
        {RuxBuildItem("{s:b, s:b, s:b, s:b, s:b, s:b, s:b, s:b, s:b, s:b}", "a", 1, "b", 0, "c", 2, "d", -1, "e", 0,
                      "f", 0, "g", 0, "h", 0, "i", 0, "j", 1),
         "{a:true,b:false,c:true,d:true,e:false,f:false,g:false,h:false,i:false,j:true}"},
        {RuxBuildItem(" \t{ s : b ,\r\n s:{s:s} }\n", "x", 1, "y", "z", "w"), "{x:true,y:{z:\"w\"}}"},
        {RuxBuildItem("{}"), "{}"},
        {RuxBuildItem("i", -7), "-7"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ItemText(c.item), c.text);
        RuxReleaseItem(c.item);
    }
}

TEST(RuxBuildItem, RefusesBadFormatsAndNullStrings)
{
    EXPECT_EQ(RuxBuildItem(nullptr), nullptr);
    EXPECT_EQ(RuxBuildItem(""), nullptr);
    EXPECT_EQ(RuxBuildItem("x"), nullptr);
    EXPECT_EQ(RuxBuildItem("{s:i", "a", 1), nullptr);         // unclosed
    EXPECT_EQ(RuxBuildItem("{s:i}}", "a", 1), nullptr);       // trailing
    EXPECT_EQ(RuxBuildItem("{i:i}", 1, 1), nullptr);          // key not a string
    EXPECT_EQ(RuxBuildItem("{s i}", "a", 1), nullptr);        // no colon
    EXPECT_EQ(RuxBuildItem("{s:i,}", "a", 1), nullptr);       // dangling comma
    EXPECT_EQ(RuxBuildItem("{s:i s:i}", "a", 1, "b", 2), nullptr);
    EXPECT_EQ(RuxBuildItem("s s", "a", "b"), nullptr);
    EXPECT_EQ(RuxBuildItem("s", static_cast<const char*>(nullptr)), nullptr);
    EXPECT_EQ(RuxBuildItem("{s:s}", "a", static_cast<const char*>(nullptr)), nullptr);
    EXPECT_EQ(RuxBuildItem("{s:i,s:i}", "same", 1, "same", 2), nullptr);
}

namespace {

// RuxBuildItem of a number inside `sizeof...(I)` lists, each a member "k".
template <size_t... I>
RuxItem BuildNested(std::index_sequence<I...>)
{
    std::string format;
    for (size_t i = 0; i < sizeof...(I); ++i)
        format += "{s:";
    format += "i" + std::string(sizeof...(I), '}');
    return RuxBuildItem(format.c_str(), ((void)I, "k")..., 1);
}

}  // namespace

// Items nest 32 levels deep at most: a number inside 31 lists, not 32.
TEST(RuxBuildItem, NestsUpToTheDepthLimit)
{
    RuxItem deepest = BuildNested(std::make_index_sequence<31>{});
    EXPECT_NE(deepest, nullptr);
    RuxReleaseItem(deepest);
    EXPECT_EQ(BuildNested(std::make_index_sequence<32>{}), nullptr);
}

TEST(RuxCopyStr, CopiesWhenTextAndTerminatorFitAndLeavesBufferOtherwise)
{
    std::string text(255, 'x');
    RuxItem fits = RuxBuildItem("s", text.c_str());
    std::string longer(256, 'y');
    RuxItem tooLong = RuxBuildItem("s", longer.c_str());
    char buffer[256];

    std::memset(buffer, '#', sizeof buffer);
    ASSERT_EQ(RuxCopyStr(fits, buffer, 0, 256), 0);
    EXPECT_EQ(std::string(buffer), text);

    std::memset(buffer, '#', sizeof buffer);
    EXPECT_NE(RuxCopyStr(tooLong, buffer, 0, 256), 0);
    EXPECT_EQ(buffer[0], '#');  // untouched on failure

    ASSERT_EQ(RuxCopyStr(tooLong, buffer, 1, 256), 0);  // from an offset the rest fits
    EXPECT_EQ(std::strlen(buffer), 255u);
    ASSERT_EQ(RuxCopyStr(tooLong, buffer, 256, 1), 0);  // offset at the end: empty
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_NE(RuxCopyStr(tooLong, buffer, 257, 256), 0);  // beyond the end
    EXPECT_NE(RuxCopyStr(fits, buffer, 0, 0), 0);
    EXPECT_NE(RuxCopyStr(fits, nullptr, 0, 256), 0);

    RuxItem number = RuxBuildItem("i", 5);
    EXPECT_NE(RuxCopyStr(number, buffer, 0, 256), 0);  // not a string
    RuxReleaseItem(number);
    RuxReleaseItem(fits);
    RuxReleaseItem(tooLong);
}

TEST(RuxCopyBlob, CopiesUpToCapacityAndReportsTheLength)
{
    std::string data(255, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i);
    RuxItem fits = RuxBuildBlob(data.data(), 255);
    RuxItem tooLong = RuxBuildBlob((data + "!").data(), 256);
    char buffer[256];
    uint16_t length = 7;
    ASSERT_EQ(RuxCopyBlob(fits, buffer, &length, 255), 0);
    EXPECT_EQ(length, 255);
    EXPECT_EQ(std::memcmp(buffer, data.data(), 255), 0);

    length = 7;
    EXPECT_NE(RuxCopyBlob(tooLong, buffer, &length, 255), 0);
    EXPECT_EQ(length, 7);  // untouched

    RuxItem empty = RuxBuildBlob(nullptr, 0);
    ASSERT_EQ(RuxCopyBlob(empty, buffer, &length, 255), 0);
    EXPECT_EQ(length, 0);
    int32_t type = 0;
    ASSERT_EQ(RuxGetType(empty, &type), 0);
    EXPECT_EQ(type, RuxType_Blob);
    EXPECT_EQ(RuxBuildBlob(nullptr, 3), nullptr);
    for (RuxItem item : {fits, tooLong, empty})
        RuxReleaseItem(item);
}

TEST(RuxAccessors, ReadMembersByKeyIndexAndKeyItem)
{
    RuxItem item = RuxBuildItem("{s:b,s:i,s:s}", "EnableVirtual", 1, "Count", 3, "Name", "n");
    uint16_t count = 0;
    ASSERT_EQ(RuxGetLen(item, &count), 0);
    EXPECT_EQ(count, 3);

    RuxItem key = nullptr;
    ASSERT_EQ(RuxGetNthKey(item, 2, &key), 0);
    EXPECT_EQ(ItemText(key), "\"Name\"");
    RuxItem value = nullptr;
    ASSERT_EQ(RuxGetAt(item, key, &value), 0);
    EXPECT_EQ(ItemText(value), "\"n\"");

    RuxItem untouched = reinterpret_cast<RuxItem>(0x1234);
    RuxItem out = untouched;
    EXPECT_NE(RuxGetNthKey(item, 3, &out), 0);  // one past the end
    EXPECT_NE(RuxGetAssoc(item, "enablevirtual", &out), 0);  // case matters
    EXPECT_NE(RuxGetAt(item, value, &out), 0);  // "n" is no key of it
    EXPECT_EQ(out, untouched);

    RuxItem flag = nullptr;
    ASSERT_EQ(RuxGetAssoc(item, "EnableVirtual", &flag), 0);
    int32_t truth = 7;
    ASSERT_EQ(RuxGetBool(flag, &truth), 0);
    EXPECT_EQ(truth, 1);
    RuxItem number = nullptr;
    ASSERT_EQ(RuxGetAssoc(item, "Count", &number), 0);
    ASSERT_EQ(RuxGetBool(number, &truth), 0);  // a number reads as a boolean
    EXPECT_EQ(truth, 1);
    truth = 7;
    EXPECT_NE(RuxGetBool(value, &truth), 0);  // a string does not
    EXPECT_EQ(truth, 7);
    EXPECT_NE(RuxGetLen(flag, &count), 0);
    // A length is a uint16: a longer blob has none.
    std::string bytes(0x10000, 'b');
    for (uint32_t size : {0xFFFFu, 0x10000u}) {
        RuxItem blob = RuxBuildBlob(bytes.data(), size);
        count = 0;
        EXPECT_EQ(RuxGetLen(blob, &count) == 0, size == 0xFFFF) << size;
        EXPECT_EQ(count, size == 0xFFFF ? 0xFFFF : 0) << size;
        RuxReleaseItem(blob);
    }

    for (RuxItem member : {key, value, flag, number})
        RuxReleaseItem(member);
    RuxReleaseItem(item);
}

TEST(RuxAssocSet, StoresACopySoTheSourceCanBeReleased)
{
    RuxItem arg = RuxBuildItem("{}");
    RuxItem on = RuxBuildItem("b", 1);
    ASSERT_NE(RuxAssocSet(arg, "EnableScanSpy", on), 0);
    ASSERT_NE(RuxAssocSet(arg, "EnableVirtual", on), 0);
    RuxReleaseItem(on);
    RuxItem off = RuxBuildItem("b", 0);
    ASSERT_NE(RuxAssocSet(arg, "EnableScanSpy", off), 0);  // replaces
    RuxReleaseItem(off);
    EXPECT_EQ(ItemText(arg), "{EnableScanSpy:false,EnableVirtual:true}");

    RuxItem member = nullptr;
    ASSERT_EQ(RuxGetAssoc(arg, "EnableVirtual", &member), 0);
    EXPECT_EQ(RuxAssocSet(member, "x", arg), 0);  // read out of another item: refused
    RuxItem text = RuxBuildItem("s", "t");
    EXPECT_EQ(RuxAssocSet(text, "x", arg), 0);  // not associative
    RuxReleaseItem(text);
    RuxReleaseItem(arg);
    EXPECT_EQ(ItemText(member), "<invalid>");  // went with its root
}
