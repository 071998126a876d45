#include "log/reader/LogRecordDecoder.h"

#include "log/crypto/WipeSecret.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t MagicBytes = 8;
constexpr size_t PlainHeaderBytes = 24;        // magic, then the byte-order-mark block
constexpr size_t EncryptedMinimumBytes = 12;   // magic, then the blob length
constexpr uint32_t KeyBlobBytes = 64;          // what the logger always writes
constexpr size_t BlockBytes = 16;
constexpr size_t KeyErrorRecordBytes = 128;    // 64 units: the text, LF, U+0000 padding

// The first record of every file: the byte-order mark and seven U+0000 units.
constexpr unsigned char ByteOrderBlock[BlockBytes] = {0xFF, 0xFE};

constexpr int NoMatch = 0;
constexpr int Match = 1;
constexpr int NeedMore = -1;

int LowerHexValue(uint32_t unit)
{
    if (unit >= '0' && unit <= '9')
        return static_cast<int>(unit - '0');
    if (unit >= 'a' && unit <= 'f')
        return static_cast<int>(unit - 'a' + 10);
    return -1;
}

// Matches "[" hex ":" hex ":" hex ":" hex "] " (1 to 8 lowercase digits each)
// at the start of the units that unitAt(i, unit) gives; NeedMore when they end
// before the prefix could be told apart.
template <typename UnitAt>
int MatchPrefix(UnitAt unitAt, size_t* units, LogLinePrefix* prefix)
{
    uint32_t unit = 0;
    size_t i = 0;
    if (!unitAt(i, unit))
        return NeedMore;
    if (unit != '[')
        return NoMatch;
    ++i;
    uint32_t values[4] = {};
    for (int field = 0; field < 4; ++field) {
        int digits = 0;
        for (;;) {
            if (!unitAt(i, unit))
                return NeedMore;
            const int digit = LowerHexValue(unit);
            if (digit < 0)
                break;
            if (++digits > 8)
                return NoMatch;
            values[field] = values[field] << 4 | static_cast<uint32_t>(digit);
            ++i;
        }
        if (digits == 0 || unit != static_cast<uint32_t>(field < 3 ? ':' : ']'))
            return NoMatch;
        ++i;
    }
    if (!unitAt(i, unit))
        return NeedMore;
    if (unit != ' ')
        return NoMatch;
    *units = i + 1;
    if (prefix != nullptr)
        *prefix = LogLinePrefix{values[0], values[1], values[2], values[3]};
    return Match;
}

std::wstring LeftOverProblem(uint64_t bytes)
{
    return L"the file ends inside a 16-byte block (" + std::to_wstring(bytes) + L" bytes left over)";
}

}  // namespace

size_t ParseLogLinePrefix(const std::wstring& line, LogLinePrefix* prefix)
{
    auto unitAt = [&line](size_t i, uint32_t& unit) {
        if (i >= line.size())
            return false;
        unit = static_cast<uint32_t>(line[i]);
        return true;
    };
    size_t units = 0;
    LogLinePrefix parsed;
    if (MatchPrefix(unitAt, &units, &parsed) != Match)
        return 0;
    *prefix = parsed;
    return units;
}

LogRecordDecoder::LogRecordDecoder(const LogFileKey* key) noexcept : key(key) {}

LogRecordDecoder::~LogRecordDecoder()
{
    WipeSecret(streamKey, sizeof(streamKey));
    if (encrypted) {
        WipeSecret(text.data(), text.size());
        WipeSecret(line.data(), line.size() * sizeof(wchar_t));
    }
}

void LogRecordDecoder::Feed(const unsigned char* bytes, size_t size, LogFileContents& found)
{
    fileOffset += size;
    if (stage == Stage::Stopped)
        return;
    if (stage == Stage::Records && !encrypted) {
        text.insert(text.end(), bytes, bytes + size);
    } else {
        raw.insert(raw.end(), bytes, bytes + size);
        if (stage != Stage::Records && !ReadHeader(found, false))
            return;
        TakeRecordBytes();
    }
    Decode(found);
    Compact();
}

void LogRecordDecoder::Finish(LogFileContents& found)
{
    if (stage != Stage::Records && stage != Stage::Stopped)
        ReadHeader(found, true);
    if (stage != Stage::Records)
        return;
    ReportTail(found);
    stage = Stage::Stopped;
}

// Reads the header from raw (which then holds the file from its first byte).
// Returns true once the records start; false while the header is incomplete
// or when the file cannot be read further.
bool LogRecordDecoder::ReadHeader(LogFileContents& found, bool atEnd)
{
    if (stage == Stage::Magic) {
        if (raw.size() < MagicBytes) {
            if (atEnd)
                Stop(found, 0, raw.size(),
                     L"too short for a log file header (" + std::to_wstring(raw.size()) + L" bytes)");
            return false;
        }
        if (std::memcmp(raw.data(), "OLVLOG.1", MagicBytes) == 0) {
            found.format = LogFileFormat::Encrypted;
            stage = Stage::EncryptedHeader;
        } else if (std::memcmp(raw.data(), "OLVLOG.0", MagicBytes) == 0) {
            found.format = LogFileFormat::Plain;
            stage = Stage::PlainHeader;
        } else {
            Stop(found, 0, MagicBytes, L"not a log file: the magic is neither OLVLOG.0 nor OLVLOG.1");
            return false;
        }
    }

    if (stage == Stage::PlainHeader) {
        if (raw.size() < PlainHeaderBytes) {
            if (atEnd)
                Stop(found, MagicBytes, raw.size() - MagicBytes, L"the header block after the magic is missing or damaged");
            return false;
        }
        stage = Stage::Records;
        if (std::memcmp(raw.data() + MagicBytes, ByteOrderBlock, BlockBytes) == 0) {
            textOffset = PlainHeaderBytes;
            recordStart = PlainHeaderBytes;
            state = State::KeyErrorRecord;
        } else {
            // Records may still follow: look for them from the damaged block on.
            textOffset = MagicBytes;
            StartDamage(MagicBytes, L"the header block after the magic is missing or damaged");
        }
        text.assign(raw.begin() + static_cast<std::ptrdiff_t>(textOffset), raw.end());
        raw.clear();
        raw.shrink_to_fit();
        return true;
    }

    // Encrypted: "OLVLOG.1", u32 blob length, the blob, then the first record.
    if (raw.size() < EncryptedMinimumBytes) {
        if (atEnd)
            Stop(found, MagicBytes, raw.size() - MagicBytes, L"the encrypted header ends before its key blob length");
        return false;
    }
    uint32_t blobLength = 0;
    for (int i = 3; i >= 0; --i)
        blobLength = blobLength << 8 | raw[MagicBytes + static_cast<size_t>(i)];
    if (blobLength != KeyBlobBytes) {
        Stop(found, MagicBytes, 4,
             L"the encrypted header gives an impossible key blob length (" + std::to_wstring(blobLength) +
                 L" bytes, where the logger writes 64)");
        return false;
    }
    const size_t firstRecord = EncryptedMinimumBytes + blobLength;
    if (raw.size() < firstRecord) {
        if (atEnd)
            Stop(found, EncryptedMinimumBytes, raw.size() - EncryptedMinimumBytes,
                 L"the encrypted header ends inside its key blob");
        return false;
    }
    if (!keyOpened) {
        if (key == nullptr) {
            found.keyCheck = LogFileKeyCheck::Missing;
            stage = Stage::Stopped;
            return false;
        }
        found.keyError = key->UnsealStreamKey(raw.data() + EncryptedMinimumBytes, blobLength, streamKey);
        if (found.keyError != 0) {
            found.keyCheck = LogFileKeyCheck::Mismatch;
            stage = Stage::Stopped;
            return false;
        }
        found.keyCheck = LogFileKeyCheck::Opened;
        keyOpened = true;
    }
    if (raw.size() < firstRecord + BlockBytes) {
        if (atEnd)
            Stop(found, firstRecord, raw.size() - firstRecord, L"the encrypted file has no first record");
        return false;
    }

    stage = Stage::Records;
    encrypted = true;
    blockGrid = firstRecord;
    unsigned char first[BlockBytes];
    std::memcpy(first, raw.data() + firstRecord, BlockBytes);
    key->DecryptBlocks(streamKey, first, 1);
    const bool whole = std::memcmp(first, ByteOrderBlock, BlockBytes) == 0;
    WipeSecret(first, sizeof(first));
    textOffset = firstRecord + BlockBytes;
    recordStart = textOffset;
    if (!whole)
        StartDamage(firstRecord, L"the first record does not decrypt to the byte-order mark");
    raw.erase(raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(textOffset));
    return true;
}

// Moves the record bytes waiting in raw to text: all of them in a plain file,
// the whole blocks (decrypted) in an encrypted one.
void LogRecordDecoder::TakeRecordBytes()
{
    if (!encrypted) {
        text.insert(text.end(), raw.begin(), raw.end());
        raw.clear();
        return;
    }
    const size_t whole = raw.size() / BlockBytes * BlockBytes;
    if (whole == 0)
        return;
    const size_t at = text.size();
    text.insert(text.end(), raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(whole));
    key->DecryptBlocks(streamKey, text.data() + at, whole / BlockBytes);
    raw.erase(raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(whole));
}

bool LogRecordDecoder::UnitAt(size_t index, uint16_t& unit) const noexcept
{
    if (index + 2 > text.size())
        return false;
    unit = static_cast<uint16_t>(text[index] | text[index + 1] << 8);
    return true;
}

int LogRecordDecoder::MatchPrefixAt(size_t index, size_t* units) const noexcept
{
    auto unitAt = [this, index](size_t i, uint32_t& unit) {
        uint16_t value = 0;
        if (!UnitAt(index + 2 * i, value))
            return false;
        unit = value;
        return true;
    };
    return MatchPrefix(unitAt, units, nullptr);
}

// Damage from `offset` on; the next record is looked for after `scanFrom`,
// which is never behind the bytes still held.
void LogRecordDecoder::StartDamage(uint64_t offset, const wchar_t* what, uint64_t scanFrom)
{
    state = State::Resync;
    damageStart = offset;
    damageWhat = what;
    line.clear();
    if (encrypted)
        resyncAt = blockGrid + ((scanFrom - blockGrid) / BlockBytes + 1) * BlockBytes;
    else
        resyncAt = scanFrom + 1;
}

void LogRecordDecoder::Report(LogFileContents& found, uint64_t offset, uint64_t bytes, std::wstring what)
{
    if (found.problem.empty())
        found.problem = what;
    found.damage.push_back(LogFileDamage{offset, bytes, std::move(what), found.lines.size()});
}

void LogRecordDecoder::Stop(LogFileContents& found, uint64_t offset, uint64_t bytes, std::wstring what)
{
    Report(found, offset, bytes, std::move(what));
    stage = Stage::Stopped;
}

void LogRecordDecoder::EmitLine(LogFileContents& found)
{
    found.lines.push_back(std::move(line));
    line = std::wstring();
}

void LogRecordDecoder::Decode(LogFileContents& found)
{
    for (;;) {
        uint16_t unit = 0;
        size_t units = 0;
        switch (state) {
        case State::KeyErrorRecord: {
            static const char tag[] = "stream_key_init_error=";
            bool isRecord = true;
            for (size_t i = 0; i + 1 < sizeof(tag) && isRecord; ++i) {
                if (!UnitAt(position + 2 * i, unit))
                    return;
                isRecord = unit == static_cast<unsigned char>(tag[i]);
            }
            if (!isRecord) {
                state = State::RecordStart;
                break;
            }
            if (text.size() - position < KeyErrorRecordBytes)
                return;
            std::wstring record;
            bool ended = false, padded = true;
            for (size_t i = 0; i < KeyErrorRecordBytes; i += 2) {
                UnitAt(position + i, unit);
                if (ended)
                    padded = padded && unit == 0;
                else if (unit == L'\n')
                    ended = true;
                else
                    record.push_back(static_cast<wchar_t>(unit));
            }
            if (!ended || !padded) {
                StartDamage(OffsetOf(position), L"the key error record is damaged");
                break;
            }
            found.keyInitError = std::move(record);
            position += KeyErrorRecordBytes;
            recordStart = OffsetOf(position);
            state = State::RecordStart;
            break;
        }

        case State::RecordStart: {
            const int match = MatchPrefixAt(position, &units);
            if (match == NeedMore)
                return;
            if (match == NoMatch) {
                UnitAt(position, unit);
                StartDamage(OffsetOf(position),
                            unit == 0 ? L"U+0000 where a record should start" : L"no log record starts here");
                break;
            }
            recordStart = OffsetOf(position);
            lineStart = recordStart;
            line.clear();
            for (size_t i = 0; i < units; ++i) {
                UnitAt(position, unit);
                line.push_back(static_cast<wchar_t>(unit));
                position += 2;
            }
            state = State::InLine;
            break;
        }

        case State::InLine:
            for (;;) {
                if (!UnitAt(position, unit))
                    return;
                if (unit == 0) {
                    EmitLine(found);
                    StartDamage(OffsetOf(position), L"a line breaks off (U+0000 before its CR LF)");
                    break;
                }
                if (unit == L'\r') {
                    uint16_t next = 0;
                    if (!UnitAt(position + 2, next))
                        return;
                    if (next == L'\n') {
                        EmitLine(found);
                        position += 4;
                        state = State::AfterLine;
                        break;
                    }
                }
                if (line.size() >= LongestLineUnits) {
                    StartDamage(lineStart, L"a line longer than any the logger writes", OffsetOf(position));
                    break;
                }
                line.push_back(static_cast<wchar_t>(unit));
                position += 2;
            }
            break;

        case State::AfterLine:
            if (!UnitAt(position, unit))
                return;
            if ((OffsetOf(position) - recordStart) % BlockBytes == 0) {
                // The record may end here: a new one starts with its prefix,
                // anything else but U+0000 is the message's next line.
                if (unit == 0) {
                    StartDamage(OffsetOf(position), L"U+0000 where a record should start");
                    break;
                }
                const int match = unit == L'[' ? MatchPrefixAt(position, &units) : NoMatch;
                if (match == NeedMore)
                    return;
                if (match == Match) {
                    state = State::RecordStart;
                    break;
                }
            } else if (unit == 0) {
                state = State::Padding;
                break;
            }
            lineStart = OffsetOf(position);
            state = State::InLine;
            break;

        case State::Padding:
            while ((OffsetOf(position) - recordStart) % BlockBytes != 0) {
                if (!UnitAt(position, unit))
                    return;
                if (unit != 0)
                    break;
                position += 2;
            }
            if ((OffsetOf(position) - recordStart) % BlockBytes != 0)
                StartDamage(OffsetOf(position), L"text inside the padding after a line");
            else
                state = State::RecordStart;
            break;

        case State::Resync:
            for (;;) {
                if (resyncAt >= textOffset + text.size()) {
                    position = text.size();
                    return;
                }
                const size_t candidate = static_cast<size_t>(resyncAt - textOffset);
                const int match = MatchPrefixAt(candidate, &units);
                if (match == NeedMore) {
                    position = candidate;
                    return;
                }
                if (match == Match) {
                    Report(found, damageStart, resyncAt - damageStart, damageWhat);
                    position = candidate;
                    recordStart = resyncAt;
                    state = State::RecordStart;
                    break;
                }
                resyncAt += encrypted ? BlockBytes : 1;
            }
            break;
        }
    }
}

// Bytes of the last 16-byte block that the file lacks to be whole.
uint64_t LogRecordDecoder::LeftOverBytes() const noexcept
{
    return encrypted ? raw.size() : (fileOffset - recordStart) % BlockBytes;
}

// At the end of the file: reports what Decode still waits for.
void LogRecordDecoder::ReportTail(LogFileContents& found)
{
    const uint64_t end = fileOffset;
    const uint64_t leftOver = LeftOverBytes();
    switch (state) {
    case State::Resync:
        Report(found, damageStart, end - damageStart, damageWhat);
        return;
    case State::KeyErrorRecord:
        if (position < text.size())
            Report(found, OffsetOf(position), end - OffsetOf(position), L"the file ends inside its key error record");
        return;
    case State::InLine:
        if (!line.empty())
            EmitLine(found);
        Report(found, lineStart, end - lineStart,
               leftOver != 0 ? LeftOverProblem(leftOver) : L"the last line is incomplete (no CR LF)");
        return;
    case State::RecordStart:
    case State::AfterLine:
    case State::Padding:
        break;
    }
    const uint64_t rest = std::min<uint64_t>(OffsetOf(position), end);
    if (rest == end || state == State::Padding) {
        if (leftOver != 0)
            Report(found, end - leftOver, leftOver, LeftOverProblem(leftOver));
        return;
    }
    // A record's first units, cut off before its prefix was whole.
    Report(found, rest, end - rest, leftOver != 0 ? LeftOverProblem(leftOver) : L"the last line is incomplete (no CR LF)");
}

// Drops the decoded bytes that are behind the read position.
void LogRecordDecoder::Compact()
{
    const size_t consumed = std::min(position, text.size());
    if (consumed == 0)
        return;
    if (encrypted)
        WipeSecret(text.data(), consumed);
    text.erase(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(consumed));
    textOffset += consumed;
    position -= consumed;
}

LogFileContents LogFileReader::Parse(const std::vector<unsigned char>& bytes, const LogFileKey* key)
{
    LogFileContents contents;
    LogRecordDecoder decoder(key);
    decoder.Feed(bytes.data(), bytes.size(), contents);
    decoder.Finish(contents);
    return contents;
}
