// Reading log files back: format by magic, lines with U+0000 dropped, the key
// error record, and damage reported rather than hidden.
#include "log/LogFileReader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<unsigned char> Bytes(const std::string& ascii)
{
    return std::vector<unsigned char>(ascii.begin(), ascii.end());
}

void AppendUnits(std::vector<unsigned char>& bytes, const std::wstring& text, size_t padTo = 8)
{
    std::wstring padded = text;
    while (padded.size() % padTo != 0)
        padded.push_back(L'\0');
    for (wchar_t unit : padded) {
        bytes.push_back(static_cast<unsigned char>(unit & 0xFF));
        bytes.push_back(static_cast<unsigned char>(unit >> 8));
    }
}

std::vector<unsigned char> PlainFile(const std::vector<std::wstring>& records)
{
    std::vector<unsigned char> bytes = Bytes("OLVLOG.0");
    bytes.push_back(0xFF);
    bytes.push_back(0xFE);
    bytes.resize(24, 0);
    for (const std::wstring& record : records)
        AppendUnits(bytes, record);
    return bytes;
}

}  // namespace

TEST(LogFileReader, PlainFileGivesItsLinesWithoutPaddingOrLineEnds)
{
    LogFileContents contents = LogFileReader::Parse(PlainFile({L"[1:2:3:2] one\r\n", L"[1:2:3:4] \r\n", L"two\r\n"}));
    EXPECT_EQ(contents.format, LogFileFormat::Plain);
    EXPECT_EQ(contents.problem, L"");
    EXPECT_EQ(contents.lines, (std::vector<std::wstring>{L"[1:2:3:2] one", L"[1:2:3:4] ", L"two"}));
}

TEST(LogFileReader, KeyErrorRecordIsSeparatedFromTheFirstLine)
{
    std::vector<unsigned char> bytes = PlainFile({});
    AppendUnits(bytes, L"stream_key_init_error=0x5\n", 64);
    AppendUnits(bytes, L"[1:2:3:2] first\r\n");
    LogFileContents contents = LogFileReader::Parse(bytes);
    EXPECT_EQ(contents.problem, L"");
    EXPECT_EQ(contents.keyInitError, L"stream_key_init_error=0x5");
    EXPECT_EQ(contents.lines, std::vector<std::wstring>{L"[1:2:3:2] first"});
}

TEST(LogFileReader, DamagedFilesAreReportedWithTheLinesBeforeTheDamage)
{
    struct Case {
        const char* what;
        std::vector<unsigned char> bytes;
        LogFileFormat format;
        size_t lines;
    };
    std::vector<unsigned char> cut = PlainFile({L"[1:2:3:2] whole\r\n", L"[1:2:3:2] cut off\r\n"});
    cut.resize(cut.size() - 6);
    std::vector<unsigned char> unterminated = PlainFile({L"[1:2:3:2] whole\r\n", L"[1:2:3:2] no end"});
    std::vector<unsigned char> badBlock = PlainFile({L"x\r\n"});
    badBlock[9] = 0xFF;
    const Case cases[] = {
        {"empty", {}, LogFileFormat::Unknown, 0},
        {"short magic", Bytes("OLVLO"), LogFileFormat::Unknown, 0},
        {"foreign magic", Bytes("NOTALOG!and more bytes after it"), LogFileFormat::Unknown, 0},
        {"header without block", Bytes("OLVLOG.0"), LogFileFormat::Plain, 0},
        {"damaged header block", badBlock, LogFileFormat::Plain, 0},
        {"encrypted without length", Bytes("OLVLOG.1ab"), LogFileFormat::Encrypted, 0},
        {"ends inside a block", cut, LogFileFormat::Plain, 2},
        {"last line without CR LF", unterminated, LogFileFormat::Plain, 2},
    };
    for (const Case& c : cases) {
        LogFileContents contents = LogFileReader::Parse(c.bytes);
        EXPECT_NE(contents.problem, L"") << c.what;
        EXPECT_EQ(contents.format, c.format) << c.what;
        EXPECT_EQ(contents.lines.size(), c.lines) << c.what;
    }
}

