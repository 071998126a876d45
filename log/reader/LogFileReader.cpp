// Reading a log file from disk; the decoding itself is LogRecordDecoder's.
#include "log/reader/LogFileReader.h"

#include "log/reader/LogRecordDecoder.h"

#include <windows.h>

namespace {

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
    // The file is read in parts, so that its size does not bound what can be
    // read; the decoder keeps only what an unfinished line needs.
    LogRecordDecoder decoder(key);
    std::vector<unsigned char> part(1 << 20);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, part.data(), static_cast<DWORD>(part.size()), &got, nullptr)) {
            const DWORD error = GetLastError();
            CloseHandle(file);
            LogFileContents unreadable;
            unreadable.problem = ErrorText(L"cannot read the file", error);
            return unreadable;
        }
        if (got == 0)
            break;
        decoder.Feed(part.data(), got, contents);
    }
    CloseHandle(file);
    decoder.Finish(contents);
    return contents;
}

std::vector<std::wstring> LogFileReader::Lines(const std::wstring& path, const LogFileKey* key)
{
    LogFileContents contents = Read(path, key);
    if (contents.format == LogFileFormat::Unknown || contents.keyCheck == LogFileKeyCheck::Missing ||
        contents.keyCheck == LogFileKeyCheck::Mismatch)
        return {};
    return std::move(contents.lines);
}
