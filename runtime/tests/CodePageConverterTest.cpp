// Code-page conversion: empty input, multi-byte sequences, unrepresentable
// characters, round trips through UTF-8 and the ANSI shortcuts.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "runtime/CodePageConverter.h"

namespace {

constexpr DWORD MagicError = 0x1234ABCD;

}  // namespace

TEST(CodePageConverter, EmptyInputGivesEmptyOutputWithoutTouchingTheLastError)
{
    // The system conversion fails on empty input and would set the last error.
    for (std::uint32_t codePage : {0u, 1252u, 65001u}) {
        SCOPED_TRACE(codePage);
        CodePageConverter converter(codePage);
        SetLastError(MagicError);
        EXPECT_EQ(converter.ToWide(""), L"");
        EXPECT_EQ(converter.FromWide(L""), "");
        EXPECT_EQ(converter.ToUtf8(""), "");
        EXPECT_EQ(converter.FromUtf8(""), "");
        EXPECT_EQ(GetLastError(), MagicError);
    }
    SetLastError(MagicError);
    EXPECT_EQ(AnsiToWide(""), L"");
    EXPECT_EQ(AnsiToWide(nullptr), L"");
    EXPECT_EQ(WideToAnsi(L""), "");
    EXPECT_EQ(GetLastError(), MagicError);
}

TEST(CodePageConverter, Utf8SequencesBecomeOneUnitOrOneSurrogatePair)
{
    CodePageConverter utf8(CP_UTF8);
    EXPECT_EQ(utf8.ToWide("\xE2\x82\xAC"), L"\u20AC");
    EXPECT_EQ(utf8.ToWide("a\xC3\xA9z"), L"a\u00E9z");
    EXPECT_EQ(utf8.ToWide("\xF0\x9F\x98\x80"), std::wstring(L"\xD83D\xDE00"));
    EXPECT_EQ(utf8.FromWide(std::wstring(L"\xD83D\xDE00")), "\xF0\x9F\x98\x80");
}

TEST(CodePageConverter, UnrepresentableCharacterBecomesTheDefaultCharacter)
{
    EXPECT_EQ(CodePageConverter(1252).FromWide(L"a\u4E00b"), "a?b");
    EXPECT_EQ(WideToAnsi(L"x\u4E00\u4E01y"), "x??y");
    EXPECT_EQ(CodePageConverter(1252).FromUtf8("a\xE4\xB8\x80"), "a?");
}

TEST(CodePageConverter, TextValidInItsCodePageSurvivesTheRoundTripThroughUtf8)
{
    struct Case {
        std::uint32_t codePage;
        std::string text;
        std::string utf8;
    } cases[] = {
        {1252, "caf\xE9 \x80 5", "caf\xC3\xA9 \xE2\x82\xAC 5"},
        {1252, std::string("nul\0inside", 10), std::string("nul\0inside", 10)},
        {65001, "\xE2\x82\xAC\xF0\x9F\x98\x80", "\xE2\x82\xAC\xF0\x9F\x98\x80"},
        {0, "plain ASCII text", "plain ASCII text"},
        {1252, std::string(100000, '\xE9'), [] {
             std::string s;
             for (int i = 0; i < 100000; ++i)
                 s += "\xC3\xA9";
             return s;
         }()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.codePage);
        CodePageConverter converter(c.codePage);
        std::string utf8 = converter.ToUtf8(c.text);
        EXPECT_EQ(utf8, c.utf8);
        EXPECT_EQ(converter.FromUtf8(utf8), c.text);
        EXPECT_EQ(converter.FromWide(converter.ToWide(c.text)), c.text);
    }
}

TEST(CodePageConverter, FailedSystemConversionGivesEmptyString)
{
    CodePageConverter unknown(12345);
    EXPECT_EQ(unknown.ToWide("abc"), L"");
    EXPECT_EQ(unknown.FromWide(L"abc"), "");
    EXPECT_EQ(unknown.ToUtf8("abc"), "");
}

TEST(CodePageConverter, AnsiTextEndsAtItsTerminatorWhileStringsConvertWhole)
{
    EXPECT_EQ(AnsiToWide("ab\0cd"), L"ab");
    EXPECT_EQ(WideToAnsi(std::wstring(L"ab\0cd", 5)), std::string("ab\0cd", 5));
}
