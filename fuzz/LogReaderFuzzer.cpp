// Log files as the reader meets them (LogRecordDecoder, LogFileReader::Parse):
// anything on disk, whole or damaged, plain or encrypted.
//
// The first input byte chooses how the rest is used:
// - even: the rest is a file's bytes, opened with a stand-in key (so that
//   encrypted files reach their records; the key only has to be the same on
//   both sides, not secure), or with no key when the first byte's top bit is
//   set. Properties:
//   - the decoder fed the file in parts of any sizes finds exactly what Parse
//     finds in one piece (lines, damage, format, key check), so a record cut
//     between two reads of a growing file is never read differently;
//   - damage regions are in file order, do not overlap, lie inside the file,
//     and sit between the lines where they were met;
//   - no line is longer than the reader's bound.
// - odd: the rest describes records (prefix numbers and a message) that are
//   written as the logger writes them into a plain file; the reader gives back
//   exactly those lines, with no damage, and each line's prefix parses back to
//   the numbers written.
#include "FuzzSupport.h"

#include "log/reader/LogRecordDecoder.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// Unseals a 64-byte blob into its first 32 bytes; decrypts each block by XOR
// with the key's first 16 bytes. Enough to drive the encrypted header and the
// per-block decoding. Like the real cipher (each block by itself, no chaining),
// a block decrypts the same whichever call and place in the call it gets: a key
// whose result depended on that would make any split of the file read
// differently, whatever the decoder does.
class StandInKey : public LogFileKey {
public:
    int32_t UnsealStreamKey(const uint8_t* blob, uint32_t length, uint8_t streamKey[32]) const override
    {
        if (length != 64 || blob[63] != 0x5A)
            return 0x411;
        std::memcpy(streamKey, blob, 32);
        return 0;
    }
    void DecryptBlocks(const uint8_t streamKey[32], uint8_t* data, size_t blockCount) const override
    {
        for (size_t i = 0; i < blockCount * 16; ++i)
            data[i] ^= streamKey[i % 16];
    }
};

bool SameDamage(const LogFileDamage& a, const LogFileDamage& b)
{
    return a.offset == b.offset && a.bytes == b.bytes && a.what == b.what && a.linesBefore == b.linesBefore;
}

bool SameContents(const LogFileContents& a, const LogFileContents& b)
{
    if (a.format != b.format || a.keyCheck != b.keyCheck || a.keyError != b.keyError || a.problem != b.problem ||
        a.keyInitError != b.keyInitError || a.lines != b.lines || a.damage.size() != b.damage.size())
        return false;
    for (size_t i = 0; i < a.damage.size(); ++i) {
        if (!SameDamage(a.damage[i], b.damage[i]))
            return false;
    }
    return true;
}

void CheckFile(const uint8_t* data, size_t size, uint8_t splitSeed)
{
    static const StandInKey standIn;
    const LogFileKey* key = (splitSeed & 0x80) != 0 ? nullptr : &standIn;
    const std::vector<unsigned char> bytes(data, data + size);
    const LogFileContents whole = LogFileReader::Parse(bytes, key);

    // Parts of pseudo-random sizes from 1 to 64 bytes, chosen by the seed.
    LogFileContents parts;
    LogRecordDecoder decoder(key);
    uint32_t state = 0x9E3779B9u ^ splitSeed;
    for (size_t at = 0; at < size;) {
        state = state * 1664525u + 1013904223u;
        const size_t take = std::min<size_t>(size - at, 1 + (state >> 26));
        decoder.Feed(data + at, take, parts);
        at += take;
    }
    decoder.Finish(parts);
    FUZZ_CHECK(SameContents(whole, parts), "a file read in parts gives what it gives read whole");

    uint64_t end = 0;
    size_t linesBefore = 0;
    for (const LogFileDamage& damage : whole.damage) {
        FUZZ_CHECK(damage.offset >= end, "damage regions are in file order and do not overlap");
        FUZZ_CHECK(damage.offset <= size && damage.bytes <= size - damage.offset, "damage lies inside the file");
        FUZZ_CHECK(damage.linesBefore >= linesBefore && damage.linesBefore <= whole.lines.size(),
                   "damage sits between the lines where it was met");
        end = damage.offset + damage.bytes;
        linesBefore = damage.linesBefore;
    }
    for (const std::wstring& line : whole.lines) {
        FUZZ_CHECK(line.size() <= LogRecordDecoder::LongestLineUnits, "no line is longer than the reader's bound");
        LogLinePrefix prefix;
        FUZZ_CHECK(ParseLogLinePrefix(line, &prefix) <= line.size(), "a line's prefix lies inside the line");
    }
    if (key == nullptr && whole.format == LogFileFormat::Encrypted)
        FUZZ_CHECK(whole.lines.empty() && whole.keyCheck != LogFileKeyCheck::Opened, "no key opens no file");
}

void AppendUnit(std::vector<unsigned char>& file, uint32_t unit)
{
    file.push_back(static_cast<unsigned char>(unit));
    file.push_back(static_cast<unsigned char>(unit >> 8));
}

void AppendHex(std::wstring& text, uint32_t value)
{
    static const char digits[] = "0123456789abcdef";
    wchar_t buffer[8];
    int count = 0;
    do {
        buffer[count++] = static_cast<wchar_t>(digits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    while (count > 0)
        text += buffer[--count];
}

uint32_t TakeU32(const uint8_t*& at, const uint8_t* end)
{
    uint32_t value = 0;
    for (int i = 0; i < 4 && at != end; ++i)
        value |= uint32_t(*at++) << (8 * i);
    return value;
}

void CheckWrittenRecords(const uint8_t* data, size_t size)
{
    // The magic, then the byte-order mark in a block of its own.
    constexpr size_t HeaderBytes = 24;
    std::vector<unsigned char> file = {'O', 'L', 'V', 'L', 'O', 'G', '.', '0', 0xFF, 0xFE};
    file.resize(HeaderBytes, 0);
    std::vector<std::wstring> expected;
    std::vector<LogLinePrefix> prefixes;
    const uint8_t* at = data;
    const uint8_t* end = data + size;
    while (at != end) {
        std::wstring line = L"[";
        uint32_t numbers[4];
        for (int field = 0; field < 4; ++field) {
            numbers[field] = TakeU32(at, end);
            AppendHex(line, numbers[field]);
            line += field < 3 ? L':' : L']';
        }
        prefixes.push_back(LogLinePrefix{numbers[0], numbers[1], numbers[2], numbers[3]});
        line += L' ';
        // A message of up to 255 units; CR, LF and U+0000 are what the writer's
        // framing reserves, so they stand for ordinary text here.
        const size_t length = at != end ? *at++ : 0;
        for (size_t i = 0; i < length && end - at >= 2; ++i, at += 2) {
            uint32_t unit = uint32_t(at[0]) | uint32_t(at[1]) << 8;
            if (unit == 0 || unit == '\r' || unit == '\n')
                unit = '.';
            line += static_cast<wchar_t>(unit);
        }
        for (wchar_t unit : line)
            AppendUnit(file, static_cast<uint32_t>(unit));
        AppendUnit(file, '\r');
        AppendUnit(file, '\n');
        // Padded to whole blocks, counted from the first record.
        file.resize(HeaderBytes + (file.size() - HeaderBytes + 15) / 16 * 16, 0);
        expected.push_back(line);
    }
    const LogFileContents read = LogFileReader::Parse(file);
    FUZZ_CHECK(read.format == LogFileFormat::Plain, "a written plain file reads as plain");
    FUZZ_CHECK(read.damage.empty() && read.problem.empty(), "a file written as the logger writes it is whole");
    FUZZ_CHECK(read.lines == expected, "the reader gives back exactly the lines written");
    for (size_t i = 0; i < expected.size(); ++i) {
        LogLinePrefix prefix;
        const size_t units = ParseLogLinePrefix(expected[i], &prefix);
        FUZZ_CHECK(units != 0 && expected[i][units - 1] == L' ' && prefix.tick == prefixes[i].tick &&
                       prefix.pid == prefixes[i].pid && prefix.tid == prefixes[i].tid &&
                       prefix.level == prefixes[i].level,
                   "a written line's prefix parses back to its numbers");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    if ((data[0] & 1) == 0)
        CheckFile(data + 1, size - 1, data[0]);
    else
        CheckWrittenRecords(data + 1, size - 1);
    return 0;
}
