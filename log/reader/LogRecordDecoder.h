// Decodes a log file's bytes into lines as they arrive: the header, the key of
// an encrypted file, then the records, finding its way again after damage.
// Needs no Windows header, so that it also builds natively (fuzz targets).
//
// Every record is one line, padded to whole 16-byte blocks:
//   "[tick:pid:tid:level] " message CR LF, then U+0000 units up to the block end
// (the four numbers in lowercase hexadecimal). A message may itself hold CR LF:
// its further lines have no prefix and belong to the same record. So where a
// record must start (at the first block, and after padding) a prefix must
// start; a U+0000 inside a line, text inside the padding, or no prefix where a
// record starts is damage. After damage, reading goes on at the next record
// found: in an encrypted file at the next 16-byte block whose text starts with a
// prefix (each block decrypts by itself), in a plain file at the next byte
// where a prefix starts (a cut record may have shifted everything after it).
//
//   LogRecordDecoder decoder(&key);
//   LogFileContents found;
//   decoder.Feed(bytes, size, found);  // again for each further part of the file
//   decoder.Finish(found);             // the end of the file: reports what is cut off
#pragma once

#include "log/reader/LogFileReader.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The four numbers of a line's prefix "[tick:pid:tid:level] ".
struct LogLinePrefix {
    uint32_t tick = 0;
    uint32_t pid = 0;
    uint32_t tid = 0;
    uint32_t level = 0;
};

// Length in units of the prefix at the start of `line`, its blank included, or
// 0 when the line does not start with one (prefix is then untouched).
size_t ParseLogLinePrefix(const std::wstring& line, LogLinePrefix* prefix);

class LogRecordDecoder {
public:
    // The longest line the logger writes is below 2^20 units; a longer one is
    // damage, which also bounds what one line can hold.
    static constexpr size_t LongestLineUnits = size_t{1} << 20;

    // `key` opens encrypted files; it must outlive the decoder.
    explicit LogRecordDecoder(const LogFileKey* key = nullptr) noexcept;
    ~LogRecordDecoder();
    LogRecordDecoder(const LogRecordDecoder&) = delete;
    LogRecordDecoder& operator=(const LogRecordDecoder&) = delete;

    // Takes the next `size` bytes of the file (the first call gets its first
    // bytes); every call gets the same `found`. Appends to `found` the lines that are complete and the damage that
    // is certain; sets its format, key check, key error and key error record as
    // the header shows them. A line or header that is cut off here waits for the
    // next call. Throws only std::bad_alloc.
    void Feed(const unsigned char* bytes, size_t size, LogFileContents& found);

    // The file ends here: a line cut off is given as it is and reported, and so
    // is anything else left incomplete. Feed must not be called afterwards.
    void Finish(LogFileContents& found);

    // False once the header showed that nothing in the file can be read: not a
    // log file, an encrypted header that is damaged, or no key or the wrong key
    // for it. Further bytes are then ignored.
    bool Readable() const noexcept { return stage != Stage::Stopped; }

    // Bytes given to Feed so far: the offset in the file of the next byte.
    uint64_t BytesSeen() const noexcept { return fileOffset; }

private:
    enum class Stage { Magic, PlainHeader, EncryptedHeader, Records, Stopped };
    enum class State {
        KeyErrorRecord,  // plain file, first record: may be "stream_key_init_error=0x...\n"
        RecordStart,     // a record starts here
        InLine,          // inside a line, before its CR LF
        AfterLine,       // after a CR LF: padding, another line of the record, or the next record
        Padding,         // U+0000 units up to the block end
        Resync,          // inside damage, looking for the next record
    };

    bool ReadHeader(LogFileContents& found, bool atEnd);
    void TakeRecordBytes();
    void Decode(LogFileContents& found);
    void ReportTail(LogFileContents& found);
    void Compact();

    bool UnitAt(size_t index, uint16_t& unit) const noexcept;
    int MatchPrefixAt(size_t index, size_t* units) const noexcept;
    uint64_t OffsetOf(size_t index) const noexcept { return textOffset + index; }
    uint64_t LeftOverBytes() const noexcept;
    void StartDamage(uint64_t offset, const wchar_t* what) { StartDamage(offset, what, offset); }
    void StartDamage(uint64_t offset, const wchar_t* what, uint64_t scanFrom);
    void Report(LogFileContents& found, uint64_t offset, uint64_t bytes, std::wstring what);
    void EmitLine(LogFileContents& found);
    void Stop(LogFileContents& found, uint64_t offset, uint64_t bytes, std::wstring what);

    const LogFileKey* key;
    Stage stage = Stage::Magic;
    State state = State::RecordStart;
    bool encrypted = false;
    uint64_t fileOffset = 0;

    // Header bytes, then (encrypted) the part of a block not yet decrypted.
    std::vector<unsigned char> raw;
    // Decoded bytes not yet consumed; text[0] is at file offset textOffset.
    std::vector<unsigned char> text;
    uint64_t textOffset = 0;
    size_t position = 0;  // next byte of text to decode

    uint64_t recordStart = 0;  // file offset of the current record: blocks count from here
    uint64_t lineStart = 0;    // file offset of the line being collected
    std::wstring line;

    uint64_t damageStart = 0;
    uint64_t resyncAt = 0;  // next offset where a record may start again
    const wchar_t* damageWhat = L"";
    uint64_t blockGrid = 0;  // encrypted: offset of the first record; blocks lie at blockGrid + 16k

    bool keyOpened = false;
    uint8_t streamKey[32] = {};
};
