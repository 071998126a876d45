#include "log/LogFileReader.h"

#include <windows.h>

#include <cstring>

namespace {

constexpr size_t MagicBytes = 8;
constexpr size_t PlainHeaderBytes = 24;  // magic, then the byte-order-mark block
constexpr size_t EncryptedMinimumBytes = 12;  // magic, then the blob length
constexpr uint32_t LargestKeyBlob = 128;       // a 1024-bit modulus
constexpr size_t BlockBytes = 16;
constexpr size_t StreamKeyBytes = 32;

// The first record of every file: the byte-order mark and seven U+0000 units.
constexpr unsigned char ByteOrderBlock[BlockBytes] = {0xFF, 0xFE};

std::wstring ErrorText(const wchar_t* what, DWORD error)
{
    return std::wstring(what) + L" (error " + std::to_wstring(error) + L")";
}

}  // namespace

LogFileContents LogFileReader::Read(const std::wstring& path, const LogFileKey* key)
{
    LogFileContents contents;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        contents.problem = ErrorText(L"cannot open the file", GetLastError());
        return contents;
    }
    std::vector<unsigned char> bytes;
    LARGE_INTEGER size{};
    bool read = GetFileSizeEx(file, &size) != 0;
    DWORD error = read ? 0 : GetLastError();
    if (read && size.QuadPart > 0x7FFFFFFF) {
        read = false;
        error = ERROR_FILE_TOO_LARGE;
    }
    if (read) {
        bytes.resize(static_cast<size_t>(size.QuadPart));
        DWORD got = 0;
        read = bytes.empty() || ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) != 0;
        if (!read)
            error = GetLastError();
        else
            bytes.resize(got);
    }
    CloseHandle(file);
    if (!read) {
        contents.problem = ErrorText(L"cannot read the file", error);
        return contents;
    }
    return Parse(bytes, key);
}

std::vector<std::wstring> LogFileReader::Lines(const std::wstring& path, const LogFileKey* key)
{
    LogFileContents contents = Read(path, key);
    if (contents.format == LogFileFormat::Unknown || contents.keyCheck == LogFileKeyCheck::Missing ||
        contents.keyCheck == LogFileKeyCheck::Mismatch)
        return {};
    return std::move(contents.lines);
}

namespace {

// Appends the UTF-16LE units of bytes[begin, end) without their U+0000 units.
void AppendText(std::wstring& text, const unsigned char* bytes, size_t begin, size_t end)
{
    for (size_t offset = begin; offset + 1 < end; offset += 2) {
        wchar_t unit = static_cast<wchar_t>(bytes[offset] | (bytes[offset + 1] << 8));
        if (unit != L'\0')
            text.push_back(unit);
    }
}

std::wstring LeftOverProblem(size_t bytes)
{
    return L"the file ends inside a 16-byte block (" + std::to_wstring(bytes % BlockBytes) + L" bytes left over)";
}

// Splits text into lines at CR LF; a plain file's leading key-error record
// (ended by LF alone) is set apart first.
void SplitLines(const std::wstring& text, bool keyErrorRecord, LogFileContents& contents)
{
    size_t start = 0;
    static const std::wstring keyErrorTag = L"stream_key_init_error=";
    if (keyErrorRecord && text.rfind(keyErrorTag, 0) == 0) {
        size_t end = text.find(L'\n');
        if (end == std::wstring::npos) {
            contents.keyInitError = text;
            start = text.size();
        } else {
            contents.keyInitError = text.substr(0, end);
            start = end + 1;
        }
    }
    while (start < text.size()) {
        size_t end = text.find(L"\r\n", start);
        if (end == std::wstring::npos) {
            contents.lines.push_back(text.substr(start));
            if (contents.problem.empty())
                contents.problem = L"the last line is incomplete (no CR LF)";
            break;
        }
        contents.lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
}

// Clears the stream key when it goes out of scope, on every path.
struct StreamKeyHolder {
    uint8_t bytes[StreamKeyBytes] = {};
    ~StreamKeyHolder() { SecureZeroMemory(bytes, sizeof(bytes)); }
};

void ParseEncrypted(const std::vector<unsigned char>& bytes, const LogFileKey* key, LogFileContents& contents)
{
    contents.format = LogFileFormat::Encrypted;
    if (bytes.size() < EncryptedMinimumBytes) {
        contents.problem = L"the encrypted header ends before its key blob length";
        return;
    }
    uint32_t blobLength = 0;
    std::memcpy(&blobLength, bytes.data() + MagicBytes, sizeof(blobLength));
    if (blobLength == 0 || blobLength > LargestKeyBlob) {
        contents.problem = L"the encrypted header gives an impossible key blob length (" +
                           std::to_wstring(blobLength) + L" bytes)";
        return;
    }
    const size_t textStart = EncryptedMinimumBytes + blobLength;
    if (bytes.size() < textStart) {
        contents.problem = L"the encrypted header ends inside its key blob";
        return;
    }
    if (key == nullptr) {
        contents.keyCheck = LogFileKeyCheck::Missing;
        return;
    }

    StreamKeyHolder streamKey;
    contents.keyError = key->UnsealStreamKey(bytes.data() + EncryptedMinimumBytes, blobLength, streamKey.bytes);
    if (contents.keyError != 0) {
        contents.keyCheck = LogFileKeyCheck::Mismatch;
        return;
    }
    contents.keyCheck = LogFileKeyCheck::Opened;

    const size_t cipherBytes = bytes.size() - textStart;
    const size_t blocks = cipherBytes / BlockBytes;
    if (cipherBytes % BlockBytes != 0)
        contents.problem = LeftOverProblem(cipherBytes);
    std::vector<unsigned char> plain(bytes.begin() + static_cast<std::ptrdiff_t>(textStart),
                                     bytes.begin() + static_cast<std::ptrdiff_t>(textStart + blocks * BlockBytes));
    key->DecryptBlocks(streamKey.bytes, plain.data(), blocks);

    if (blocks == 0 || std::memcmp(plain.data(), ByteOrderBlock, BlockBytes) != 0) {
        contents.problem = blocks == 0 ? L"the encrypted file has no first record"
                                       : L"the first record does not decrypt to the byte-order mark";
        SecureZeroMemory(plain.data(), plain.size());
        return;
    }
    std::wstring text;
    text.reserve(plain.size() / 2);
    AppendText(text, plain.data(), BlockBytes, plain.size());
    SecureZeroMemory(plain.data(), plain.size());
    SplitLines(text, false, contents);
}

}  // namespace

LogFileContents LogFileReader::Parse(const std::vector<unsigned char>& bytes, const LogFileKey* key)
{
    LogFileContents contents;
    if (bytes.size() < MagicBytes) {
        contents.problem = L"too short for a log file header (" + std::to_wstring(bytes.size()) + L" bytes)";
        return contents;
    }
    if (std::memcmp(bytes.data(), "OLVLOG.1", MagicBytes) == 0) {
        ParseEncrypted(bytes, key, contents);
        return contents;
    }
    if (std::memcmp(bytes.data(), "OLVLOG.0", MagicBytes) != 0) {
        contents.problem = L"not a log file: the magic is neither OLVLOG.0 nor OLVLOG.1";
        return contents;
    }
    contents.format = LogFileFormat::Plain;
    if (bytes.size() < PlainHeaderBytes ||
        std::memcmp(bytes.data() + MagicBytes, ByteOrderBlock, sizeof(ByteOrderBlock)) != 0) {
        contents.problem = L"the header block after the magic is missing or damaged";
        return contents;
    }

    // Every record is a whole number of 16-byte blocks.
    const size_t textBytes = bytes.size() - PlainHeaderBytes;
    if (textBytes % BlockBytes != 0)
        contents.problem = LeftOverProblem(textBytes);

    std::wstring text;
    text.reserve(textBytes / 2);
    AppendText(text, bytes.data(), PlainHeaderBytes, bytes.size());
    SplitLines(text, true, contents);
    return contents;
}
