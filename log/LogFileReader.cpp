#include "log/LogFileReader.h"

#include <windows.h>

#include <cstring>

namespace {

constexpr size_t MagicBytes = 8;
constexpr size_t PlainHeaderBytes = 24;  // magic, then the byte-order-mark block
constexpr size_t EncryptedMinimumBytes = 12;

std::wstring ErrorText(const wchar_t* what, DWORD error)
{
    return std::wstring(what) + L" (error " + std::to_wstring(error) + L")";
}

}  // namespace

LogFileContents LogFileReader::Read(const std::wstring& path)
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
    return Parse(bytes);
}

std::vector<std::wstring> LogFileReader::Lines(const std::wstring& path)
{
    LogFileContents contents = Read(path);
    if (contents.format != LogFileFormat::Plain)
        return {};
    return std::move(contents.lines);
}

LogFileContents LogFileReader::Parse(const std::vector<unsigned char>& bytes)
{
    LogFileContents contents;
    if (bytes.size() < MagicBytes) {
        contents.problem = L"too short for a log file header (" + std::to_wstring(bytes.size()) + L" bytes)";
        return contents;
    }
    if (std::memcmp(bytes.data(), "OLVLOG.1", MagicBytes) == 0) {
        contents.format = LogFileFormat::Encrypted;
        if (bytes.size() < EncryptedMinimumBytes)
            contents.problem = L"the encrypted header ends before its key blob length";
        return contents;
    }
    if (std::memcmp(bytes.data(), "OLVLOG.0", MagicBytes) != 0) {
        contents.problem = L"not a log file: the magic is neither OLVLOG.0 nor OLVLOG.1";
        return contents;
    }
    contents.format = LogFileFormat::Plain;
    static const unsigned char byteOrderBlock[16] = {0xFF, 0xFE};
    if (bytes.size() < PlainHeaderBytes ||
        std::memcmp(bytes.data() + MagicBytes, byteOrderBlock, sizeof(byteOrderBlock)) != 0) {
        contents.problem = L"the header block after the magic is missing or damaged";
        return contents;
    }

    // Every record is a whole number of 16-byte blocks.
    const size_t textBytes = bytes.size() - PlainHeaderBytes;
    if (textBytes % 16 != 0)
        contents.problem = L"the file ends inside a 16-byte block (" + std::to_wstring(textBytes % 16) +
                           L" bytes left over)";

    std::wstring text;
    text.reserve(textBytes / 2);
    for (size_t offset = PlainHeaderBytes; offset + 1 < bytes.size(); offset += 2) {
        wchar_t unit = static_cast<wchar_t>(bytes[offset] | (bytes[offset + 1] << 8));
        if (unit != L'\0')
            text.push_back(unit);
    }

    size_t start = 0;
    static const std::wstring keyErrorTag = L"stream_key_init_error=";
    if (text.rfind(keyErrorTag, 0) == 0) {
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
    return contents;
}
