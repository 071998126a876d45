#include "tests/support/LogCapture.h"

#include "log/reader/LogFileReader.h"
#include "log/ProcessLog.h"

#include <windows.h>

#include <atomic>

LogCapture::LogCapture(unsigned minLevel)
{
    static std::atomic<unsigned> counter{0};
    wchar_t temp[MAX_PATH];
    DWORD units = GetTempPathW(MAX_PATH, temp);
    if (units == 0 || units >= MAX_PATH)
        return;
    folder = std::wstring(temp) + L"olvlog-capture-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
             std::to_wstring(++counter);
    if (!CreateDirectoryW(folder.c_str(), nullptr))
        return;
    file = folder + L"\\capture.log";
    plainFiles.emplace(L"1");
    result = OlvLog_Open(file.c_str(), minLevel, 1ull << 40, false);
}

LogCapture::~LogCapture()
{
    if (result == OlvLogOpened)
        OlvLog_Close();
    plainFiles.reset();
    if (!file.empty())
        DeleteFileW(file.c_str());
    if (!folder.empty())
        RemoveDirectoryW(folder.c_str());
}

std::vector<std::wstring> LogCapture::Lines() const
{
    if (result != OlvLogOpened)
        return {};
    FlushCurrentLog();
    return LogFileReader::Lines(file);
}

std::vector<std::wstring> LogCapture::Messages() const
{
    std::vector<std::wstring> messages = Lines();
    for (std::wstring& line : messages) {
        size_t end = line.find(L"] ");
        if (end != std::wstring::npos)
            line.erase(0, end + 2);
    }
    return messages;
}
