// The formatting engine: buffer boundaries, positional arguments, the
// Microsoft formatter's semantics and the formats that positional mode refuses.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "runtime/FormatString.h"

namespace {

std::string Repeat(char c, std::size_t count)
{
    return std::string(count, c);
}

std::wstring Repeat(wchar_t c, std::size_t count)
{
    return std::wstring(count, c);
}

}  // namespace

TEST(FormatString, BuildsTheServiceNameAndTheVersionText)
{
    EXPECT_EQ(FormatString("QClient(%d)", 3), "QClient(3)");
    EXPECT_EQ(FormatString(L"%u.%u.%u.%u", 1u, 0u, 0u, 1u), L"1.0.0.1");
}

TEST(FormatString, TextsAroundEveryBufferSizeComeOutWhole)
{
    // 255 characters fit the first buffer of 256 exactly (the formatter writes
    // no terminator then); 256 need the second try.
    for (std::size_t length : {0u, 1u, 254u, 255u, 256u, 257u, 511u, 512u, 513u, 1023u, 1024u, 1025u, 70000u}) {
        SCOPED_TRACE(length);
        std::string narrow = Repeat('n', length);
        std::wstring wide = Repeat(L'w', length);
        EXPECT_EQ(FormatString("%s", narrow.c_str()), narrow);
        EXPECT_EQ(FormatString(L"%s", wide.c_str()), wide);
        // The format itself as the text, without any conversion.
        EXPECT_EQ(FormatString(narrow.c_str()), narrow);
        EXPECT_EQ(FormatString(wide.c_str()), wide);
        // A width pads to the length; the 1 of the positional form is the argument.
        EXPECT_EQ(FormatString("%*d", static_cast<int>(length), 7).size(), length > 0 ? length : 1);
        EXPECT_EQ(FormatString(L"%1s", wide.c_str()), wide);
    }
}

TEST(FormatString, EveryTryStartsAgainAtTheFirstArgument)
{
    std::string a = Repeat('a', 200), b = Repeat('b', 200);
    EXPECT_EQ(FormatString("%s|%s|%d", a.c_str(), b.c_str(), 9), a + "|" + b + "|9");
    EXPECT_EQ(FormatString("%2s|%1s|%3d", a.c_str(), b.c_str(), 9), b + "|" + a + "|9");

}

TEST(FormatString, EscapePairsPrintOnePercentInBothModes)
{
    EXPECT_EQ(FormatString("no conversion"), "no conversion");
    EXPECT_EQ(FormatString("%%"), "%");
    EXPECT_EQ(FormatString(L"100%%"), L"100%");
    EXPECT_EQ(FormatString("%% %2s %1s", "a", "b"), "% b a");
    EXPECT_EQ(FormatString("%%%%%1s%%", "a"), "%%a%");
    EXPECT_EQ(FormatString(L"%2s%%%1s", L"a", L"b"), L"b%a");
}

TEST(FormatString, PositionDigitsPickTheArgumentInCallOrder)
{
    EXPECT_EQ(FormatString("%2s %1s", "a", "b"), "b a");
    EXPECT_EQ(FormatString(L"%2s %1s", L"a", L"b"), L"b a");
    EXPECT_EQ(FormatString("%1s %1s", "x"), "x x");
    EXPECT_EQ(FormatString("%2s %2s", "x", "y"), "y y");
    // One digit only: what follows it is flags and width.
    EXPECT_EQ(FormatString("%12d", 5), " 5");
    EXPECT_EQ(FormatString("%10d", 5), "5");
    EXPECT_EQ(FormatString("%105d", 5), "00005");
    EXPECT_EQ(FormatString(L"[%1-3s]", L"a"), L"[a  ]");
    EXPECT_EQ(FormatString("%2.1s|%1#x", 255, "yz"), "y|0xff");
    // Every value takes one slot, whatever its type.
    EXPECT_EQ(FormatString("%3s %1d %2.2f", 7, 2.5, "x"), "x 7 2.50");
    EXPECT_EQ(FormatString(L"%2I64d %1S %3c", "n", 1LL << 40, L'c'), L"1099511627776 n c");
    EXPECT_EQ(FormatString("%4s%3s%2s%1s%5s%6s%7s%8s%9s", "1", "2", "3", "4", "5", "6", "7", "8", "9"),
              "432156789");
}

TEST(FormatString, EverySizePrefixTakesOnePositionalSlot)
{
    EXPECT_EQ(FormatString("%9hhd|%8jd|%7zd|%6td|%5lld|%4I32d|%3Id|%2hd|%1ls", L"w", 7, 1LL << 40, 5, -6LL, 1ULL << 33,
                           -(1LL << 35), 9, 3),
              "3|9|-34359738368|8589934592|-6|5|1099511627776|7|w");
    EXPECT_EQ(FormatString(L"%2zx|%1I64X|%3Lf", 0xABLL, 0x1234567890LL, 0.5), L"1234567890|AB|0.500000");
}

TEST(FormatString, LongPositionalFormatsWithManySpecificationsKeepEveryArgument)
{
    // More conversions than the lists hold in place, and a format longer
    // than the first buffer.
    std::string format, expected;
    for (int i = 0; i < 40; ++i) {
        format += '%';
        format += static_cast<char>('1' + i % 3);
        format += "s-";
        expected += static_cast<char>('a' + i % 3);
        expected += '-';
    }
    format += Repeat('.', 300);
    expected += Repeat('.', 300);
    EXPECT_EQ(FormatString(format.c_str(), "a", "b", "c"), expected);

    std::wstring wideFormat(format.begin(), format.end()), wideExpected(expected.begin(), expected.end());
    EXPECT_EQ(FormatString(wideFormat.c_str(), L"a", L"b", L"c"), wideExpected);

    // A tail that more than doubles what the rewritten format holds in place.
    const std::string tail = Repeat('t', 5000);
    EXPECT_EQ(FormatString(("%1s" + tail).c_str(), "a"), "a" + tail);
}

// The mode is chosen, and a zero character found, 16 bytes at a time: a "%"
// or a zero on either side of a block boundary, wherever the format starts in
// memory (a wide one even at an odd address), is seen where it is.
TEST(FormatString, ModeAndEndAreFoundWhereverTheyFallInMemory)
{
    alignas(16) char narrow[128];
    alignas(16) char wide[256];
    for (std::size_t start = 0; start < 17; ++start) {
        for (std::size_t filler = 0; filler < 40; ++filler) {
            SCOPED_TRACE(testing::Message() << "start " << start << ", filler " << filler);
            // Zeros and "%" just before the format must not count.
            std::memset(narrow, '%', sizeof(narrow));
            std::memset(wide, 0, sizeof(wide));
            const std::string text = Repeat('.', filler);
            std::memcpy(narrow + start, (text + "%2s %1s").c_str(), filler + 8);
            EXPECT_EQ(FormatString(narrow + start, "a", "b"), text + "b a");
            std::memcpy(narrow + start, text.c_str(), filler + 1);
            EXPECT_EQ(FormatString(narrow + start), text);
            EXPECT_EQ(FormatString((text + "%cz").c_str(), 0), text);

            const std::wstring wideText = Repeat(L'.', filler);
            const std::wstring wideFormat = wideText + L"%2s %1s";
            std::memcpy(wide + start, wideFormat.c_str(), (wideFormat.size() + 1) * sizeof(wchar_t));
            EXPECT_EQ(FormatString(reinterpret_cast<const wchar_t*>(wide + start), L"a", L"b"), wideText + L"b a");
            EXPECT_EQ(FormatString((wideText + L"%cz").c_str(), 0), wideText);
        }
    }
}

TEST(FormatString, FirstSpecificationWithoutDigitMeansPlainMode)
{
    // The 1 of the second conversion is a width.
    EXPECT_EQ(FormatString("%d %1s", 7, "x"), "7 x");
    EXPECT_EQ(FormatString(L"%s %2s", L"a", L"b"), L"a  b");
    EXPECT_EQ(FormatString("%0d", 4), "4");
}

TEST(FormatString, ZeroCharacterEndsTheResult)
{
    EXPECT_EQ(FormatString("ab%cde", 0), "ab");
    EXPECT_EQ(FormatString(L"ab%cde", 0), L"ab");
    EXPECT_EQ(FormatString("ab%1cde", 0), "ab");
    // At every place within and across the eight-byte words the text is
    // searched in, and behind units whose low or high byte alone is zero.
    for (std::size_t at = 0; at < 20; ++at) {
        SCOPED_TRACE(at);
        std::string narrow = Repeat('\x80', at / 2) + Repeat('\x01', at - at / 2);
        EXPECT_EQ(FormatString("%s%c%s", narrow.c_str(), 0, "tail"), narrow);
        std::wstring wide;
        for (std::size_t i = 0; i < at; ++i)
            wide.push_back(L"\u0100\u8000\uFFFF\u0001"[i % 4]);
        EXPECT_EQ(FormatString(L"%s%c%s", wide.c_str(), 0, L"tail"), wide);
        EXPECT_EQ(FormatString(L"%s", wide.c_str()), wide);
    }
    // Also when the zero comes only on the second try.
    EXPECT_EQ(FormatString("%s%c%s", Repeat('a', 300).c_str(), 0, "tail"), Repeat('a', 300));
}

TEST(FormatString, FollowsTheMicrosoftFormatterWhateverTheStdioSettings)
{
    // Wide "%s" is wide and "%S" narrow; in a narrow format the reverse.
    EXPECT_EQ(FormatString(L"%s|%S|%hs|%ls", L"w", "n", "h", L"l"), L"w|n|h|l");
    EXPECT_EQ(FormatString("%s|%S|%hs|%ls", "n", L"w", "h", L"l"), "n|w|h|l");
    EXPECT_EQ(FormatString(L"%1S|%2s", "n", L"w"), L"n|w");
    EXPECT_EQ(FormatString("%I64u|%I32x", 18446744073709551615ULL, 255), "18446744073709551615|ff");
}

// Beside each refused form, the nearest one the rules define: "%1%" prints a
// "%" and reads nothing, "F" and "N" are prefixes that mean nothing here, and
// "a" is a floating conversion of one argument; "n" behind any prefix, a
// letter the formatter prints as text and a "*" stay refused.
TEST(FormatString, PositionalFormatsThatCannotBeServedAreRefused)
{
    EXPECT_EQ(FormatString("%1%|%2s|%1d", 5, "b"), "%|b|5");
    EXPECT_EQ(FormatString(L"%2s%9%%1d", 5, L"b"), L"b%5");
    EXPECT_EQ(FormatString("%1Fs|%2Nd|%3.1Ff|%4NI64x", "f", 7, 2.5, 1LL << 40), "f|7|2.5|10000000000");
    EXPECT_EQ(FormatString(L"%2.1a|%1A|%3s", 1.0, 0.5, L"z"), L"0x1.0p-1|0X1.0000000000000P+0|z");

    // No digit, 0, "%" at the end; positions beyond the conversions (a "%1%"
    // reads none); no conversion character; "*" width or precision; "n" behind
    // any prefix; a letter that formats nothing left its slot unread, so that
    // "%2s" read the 1 as an address ("%1y|%2s").
    const char* narrow[] = {"%1s %s", "%1s %0s", "%1s %", "%2s",   "%3s %1s", "%1% %2s", "%1",   "%1-08",
                            "%1*s",   "%1.*s",   "%1n",   "%1I64n", "%1jn",    "%1zn",    "%1tn", "%1hhn",
                            "%1lln",  "%1y|%2s", "%1Fn",  "%1Nn",   "%1F",     "%1ws|%2Z", "%1hls", "%1-5%"};
    for (const char* format : narrow) {
        SCOPED_TRACE(format);
        EXPECT_THROW(FormatString(format, 1, "x", "c"), std::invalid_argument);
        std::wstring wide(format, format + strlen(format));
        EXPECT_THROW(FormatString(wide.c_str(), 1, L"x", L"c"), std::invalid_argument);
    }
    // U+0131 has "1" in its low byte, but is no digit.
    EXPECT_THROW(FormatString(L"%1s %\u0131s", L"a"), std::invalid_argument);
    EXPECT_THROW(FormatString(static_cast<const char*>(nullptr)), std::invalid_argument);
    EXPECT_THROW(FormatString(static_cast<const wchar_t*>(nullptr)), std::invalid_argument);
}

TEST(FormatString, TextLongerThanTheLargestBufferThrowsLengthError)
{
    const int longest = static_cast<int>(FormatStringMaxChars - 1);
    EXPECT_EQ(FormatString("%*s", longest, "").size(), FormatStringMaxChars - 1);
    EXPECT_THROW(FormatString("%*s", longest + 1, ""), std::length_error);
}

TEST(FormatString, FormatterFailingForAnotherReasonEndsAtTheBoundInsteadOfExhaustingMemory)
{
    // No narrow form of U+4E00 in an ANSI code page: the formatter returns -1
    // however large the buffer.
    EXPECT_THROW(FormatString("%S", L"a\u4E00b"), std::length_error);
    EXPECT_THROW(FormatString("%1S", L"a\u4E00b"), std::length_error);
}
