// Reading log files back: format by magic, lines without their padding, the
// key error record, and damage reported with its offset, the reading going on
// at the next record.
#include "log/reader/LogFileReader.h"

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
    LogFileContents contents =
        LogFileReader::Parse(PlainFile({L"[1:2:3:2] one\r\n", L"[1:2:3:4] \r\n", L"[a:b:c:1] two\r\nthree\r\n",
                                        L"[ffffffff:ffffffff:ffffffff:ffffffff] widest\r\n"}));
    EXPECT_EQ(contents.format, LogFileFormat::Plain);
    EXPECT_EQ(contents.problem, L"");
    EXPECT_EQ(contents.lines, (std::vector<std::wstring>{L"[1:2:3:2] one", L"[1:2:3:4] ", L"[a:b:c:1] two", L"three",
                                                         L"[ffffffff:ffffffff:ffffffff:ffffffff] widest"}));
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


namespace {

// A stand-in for the private key: "unseals" a blob whose first byte is 0x4B to
// a fixed key, and "decrypts" by flipping every byte, so that the reader's own
// handling of encrypted files is checked without any cryptography.
class FlippingKey : public LogFileKey {
public:
    int32_t UnsealStreamKey(const uint8_t* blob, uint32_t, uint8_t streamKey[32]) const override
    {
        if (blob[0] != 0x4B)
            return 0x411;
        for (int i = 0; i < 32; ++i)
            streamKey[i] = static_cast<uint8_t>(i);
        return 0;
    }
    void DecryptBlocks(const uint8_t streamKey[32], uint8_t* data, size_t blockCount) const override
    {
        EXPECT_EQ(streamKey[31], 31);
        for (size_t i = 0; i < blockCount * 16; ++i)
            data[i] = static_cast<uint8_t>(~data[i]);
    }
};

std::vector<unsigned char> FlippedFile(const std::vector<std::wstring>& records, uint32_t blobLength = 64,
                                       unsigned char blobFirst = 0x4B)
{
    std::vector<unsigned char> bytes = Bytes("OLVLOG.1");
    for (int shift = 0; shift < 32; shift += 8)
        bytes.push_back(static_cast<unsigned char>(blobLength >> shift));
    bytes.push_back(blobFirst);
    bytes.resize(12 + 64, 0x33);
    std::vector<unsigned char> text = {0xFF, 0xFE};
    text.resize(16, 0);
    for (const std::wstring& record : records)
        AppendUnits(text, record);
    for (unsigned char& byte : text)
        byte = static_cast<unsigned char>(~byte);
    bytes.insert(bytes.end(), text.begin(), text.end());
    return bytes;
}

}  // namespace

TEST(LogFileReader, EncryptedFileIsDecryptedWithTheKeyFromItsHeader)
{
    FlippingKey key;
    LogFileContents contents = LogFileReader::Parse(FlippedFile({L"[1:2:3:2] one\r\n", L"[1:2:3:2] two\r\n"}), &key);
    EXPECT_EQ(contents.format, LogFileFormat::Encrypted);
    EXPECT_EQ(contents.keyCheck, LogFileKeyCheck::Opened);
    EXPECT_EQ(contents.problem, L"");
    EXPECT_EQ(contents.lines, (std::vector<std::wstring>{L"[1:2:3:2] one", L"[1:2:3:2] two"}));

    LogFileContents locked = LogFileReader::Parse(FlippedFile({L"one\r\n"}));
    EXPECT_EQ(locked.keyCheck, LogFileKeyCheck::Missing);
    EXPECT_EQ(locked.problem, L"");
    EXPECT_TRUE(locked.lines.empty());

    LogFileContents foreign = LogFileReader::Parse(FlippedFile({L"one\r\n"}, 64, 0x00), &key);
    EXPECT_EQ(foreign.keyCheck, LogFileKeyCheck::Mismatch);
    EXPECT_EQ(foreign.keyError, 0x411);
    EXPECT_TRUE(foreign.lines.empty());
}

TEST(LogFileReader, DamagedEncryptedFilesAreReportedNotDecodedBlindly)
{
    FlippingKey key;
    std::vector<unsigned char> whole = FlippedFile({L"[1:2:3:2] one\r\n", L"[1:2:3:2] two\r\n"});
    std::vector<unsigned char> cutInBlock(whole.begin(), whole.end() - 5);
    std::vector<unsigned char> noFirstRecord(whole.begin(), whole.begin() + 76);
    std::vector<unsigned char> badFirstRecord = whole;
    badFirstRecord[76] ^= 0x01;
    struct Case {
        const char* name;
        std::vector<unsigned char> bytes;
        const wchar_t* problemStart;
        size_t lines;
    };
    const Case cases[] = {
        {"no blob length", Bytes("OLVLOG.1\x40"), L"the encrypted header ends before", 0},
        {"blob length 0", FlippedFile({}, 0), L"the encrypted header gives an impossible key blob length (0", 0},
        {"blob length 4096", FlippedFile({}, 4096), L"the encrypted header gives an impossible", 0},
        {"blob length 128", FlippedFile({L"[1:2:3:2] one\r\n"}, 128), L"the encrypted header gives an impossible", 0},
        {"blob cut", std::vector<unsigned char>(whole.begin(), whole.begin() + 40), L"the encrypted header ends inside", 0},
        {"cut inside a block", cutInBlock, L"the file ends inside a 16-byte block (11 bytes", 1},
        {"no first record", noFirstRecord, L"the encrypted file has no first record", 0},
        {"first record not the byte-order mark", badFirstRecord, L"the first record does not decrypt", 2},
    };
    for (const Case& c : cases) {
        LogFileContents contents = LogFileReader::Parse(c.bytes, &key);
        EXPECT_EQ(contents.format, LogFileFormat::Encrypted) << c.name;
        EXPECT_EQ(contents.problem.rfind(c.problemStart, 0), 0u) << c.name << ": " << std::string(contents.problem.begin(), contents.problem.end());
        EXPECT_EQ(contents.lines.size(), c.lines) << c.name;
        if (c.lines == 0) {
            EXPECT_NE(contents.keyCheck, LogFileKeyCheck::Mismatch) << c.name << ": a damaged header is not a wrong key";
        }
    }
}

// Damage in the middle of a file is reported with its offset, and the records
// after it are read: zeros where a record should start, a line broken off by
// U+0000, a record cut short so that all after it is off the block grid (plain
// files are searched at every byte), a block of an encrypted file that
// decrypts to garbage (searched at every block).
TEST(LogFileReader, DamageInTheMiddleIsReportedAndTheRecordsAfterItAreRead)
{
    const std::wstring first = L"[1:2:3:2] first\r\n";    // 17 units: 48 bytes with padding
    const std::wstring second = L"[1:2:3:2] second\r\n";  // 18 units: 48 bytes
    const std::wstring third = L"[a:b:c:3] third\r\n";
    std::vector<unsigned char> zeros = PlainFile({first});
    zeros.resize(zeros.size() + 32, 0);
    AppendUnits(zeros, second);
    std::vector<unsigned char> brokenOff = PlainFile({first, second, third});
    brokenOff[24 + 48 + 2 * 12] = 0;  // the "c" of "second"
    brokenOff[24 + 48 + 2 * 12 + 1] = 0;
    std::vector<unsigned char> shifted = PlainFile({first, second});
    shifted.resize(shifted.size() - 5);
    AppendUnits(shifted, third);
    std::vector<unsigned char> leftOver = PlainFile({first, second});
    leftOver.resize(leftOver.size() - 8);  // half of the last block of "second"
    const std::vector<unsigned char> nineDigits = PlainFile({first, L"[123456789:2:3:2] nine\r\n", third});
    // The longest line the reader takes, 2^20 units with its prefix, and one longer.
    const std::wstring longest = L"[1:2:3:2] " + std::wstring((size_t{1} << 20) - 10, L'x');
    const std::vector<unsigned char> longestLine = PlainFile({longest + L"\r\n", third});
    const std::vector<unsigned char> tooLong = PlainFile({longest + L"x\r\n", third});
    FlippingKey key;
    std::vector<unsigned char> garbled = FlippedFile({first, second, third});
    garbled[92 + 48 + 3] ^= 0x5A;  // in the first block of "second"

    struct Case {
        const char* name;
        std::vector<unsigned char> bytes;
        std::vector<std::wstring> lines;
        std::vector<uint64_t> damage;  // offset, bytes, ...
    };
    const Case cases[] = {
        {"zeros", zeros, {L"[1:2:3:2] first", L"[1:2:3:2] second"}, {72, 32}},
        {"broken off", brokenOff, {L"[1:2:3:2] first", L"[1:2:3:2] se", L"[a:b:c:3] third"}, {96, 24}},
        {"shifted", shifted, {L"[1:2:3:2] first", L"[1:2:3:2] second", L"[a:b:c:3] third"}, {114, 1}},
        {"garbled block", garbled, {L"[1:2:3:2] first", L"[a:b:c:3] third"}, {140, 48}},
        {"ends inside a block", leftOver, {L"[1:2:3:2] first", L"[1:2:3:2] second"}, {104, 8}},
        {"nine digits", nineDigits, {L"[1:2:3:2] first", L"[a:b:c:3] third"}, {72, 48}},
        {"longest line", longestLine, {longest, L"[a:b:c:3] third"}, {}},
        {"line too long", tooLong, {L"[a:b:c:3] third"}, {24, (uint64_t{1} << 21) + 16}},
    };
    for (const Case& c : cases) {
        LogFileContents contents = LogFileReader::Parse(c.bytes, &key);
        EXPECT_EQ(contents.lines, c.lines) << c.name;
        std::vector<uint64_t> damage;
        for (const LogFileDamage& region : contents.damage) {
            damage.push_back(region.offset);
            damage.push_back(region.bytes);
        }
        EXPECT_EQ(damage, c.damage) << c.name;
        EXPECT_EQ(contents.problem.empty(), c.damage.empty()) << c.name;
    }
}
