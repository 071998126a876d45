// Helpers shared by the logging library's tests: a fresh folder per test, a
// scoped process log, a clock the test moves by hand, and child processes (this
// test executable started again with "--log-child ROLE ARGS...").
#pragma once

#include "log/LogFileReader.h"
#include "log/ProcessLog.h"
#include "log/ProcessLogControl.h"

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

namespace logtest {

// A folder of its own under %TEMP%, removed with everything in it.
class TempFolder {
public:
    TempFolder()
    {
        static std::atomic<int> counter{0};
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        path = std::wstring(temp) + L"olvlog-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
               std::to_wstring(++counter);
        CreateDirectoryW(path.c_str(), nullptr);
    }
    ~TempFolder() { RemoveTree(path); }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    std::wstring operator/(const std::wstring& name) const { return path + L"\\" + name; }

    // Names of the files in the folder (not "." and "..").
    std::vector<std::wstring> Names() const { return Names(path); }

    static std::vector<std::wstring> Names(const std::wstring& folder)
    {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &found);
        if (find == INVALID_HANDLE_VALUE)
            return names;
        do {
            std::wstring name = found.cFileName;
            if (name != L"." && name != L"..")
                names.push_back(name);
        } while (FindNextFileW(find, &found));
        FindClose(find);
        return names;
    }

    std::wstring path;

private:
    static void RemoveTree(const std::wstring& folder)
    {
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &found);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                std::wstring name = found.cFileName;
                if (name == L"." || name == L"..")
                    continue;
                std::wstring full = folder + L"\\" + name;
                if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    RemoveTree(full);
                else
                    DeleteFileW(full.c_str());
            } while (FindNextFileW(find, &found));
            FindClose(find);
        }
        RemoveDirectoryW(folder.c_str());
    }
};

// The process log for one scope.
class ScopedLog {
public:
    ScopedLog(const std::wstring& path, unsigned minLevel, uint64_t maxFileSize, bool writerThread)
        : result(OlvLog_Open(path.c_str(), minLevel, maxFileSize, writerThread))
    {
    }
    ~ScopedLog() { OlvLog_Close(); }
    ScopedLog(const ScopedLog&) = delete;
    ScopedLog& operator=(const ScopedLog&) = delete;

    OlvLogOpenResult result;
};

// Replaces the log's tick source for one scope; the test sets `now`.
class ManualClock {
public:
    explicit ManualClock(DWORD start)
    {
        now.store(start);
        LogTickCount.store(&Now);
    }
    ~ManualClock() { LogTickCount.store(&GetTickCount); }
    ManualClock(const ManualClock&) = delete;
    ManualClock& operator=(const ManualClock&) = delete;

    static inline std::atomic<DWORD> now{0};

private:
    static DWORD WINAPI Now() { return now.load(); }
};

// The prefix this thread's lines get at `tick` and `level`.
inline std::wstring Prefix(DWORD tick, unsigned level)
{
    wchar_t prefix[64];
    int units = _snwprintf(prefix, 64, L"[%x:%x:%x:%x] ", static_cast<unsigned>(tick),
                           static_cast<unsigned>(GetCurrentProcessId()), static_cast<unsigned>(GetCurrentThreadId()),
                           level);
    return std::wstring(prefix, static_cast<size_t>(units));
}

// A line's text without its prefix (everything after the first "] ").
inline std::wstring Message(const std::wstring& line)
{
    size_t end = line.find(L"] ");
    return end == std::wstring::npos ? line : line.substr(end + 2);
}

inline std::vector<std::wstring> Messages(const std::wstring& path)
{
    std::vector<std::wstring> messages;
    for (const std::wstring& line : LogFileReader::Lines(path))
        messages.push_back(Message(line));
    return messages;
}

inline std::vector<unsigned char> FileBytes(const std::wstring& path)
{
    std::vector<unsigned char> bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return bytes;
    LARGE_INTEGER size{};
    GetFileSizeEx(file, &size);
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    if (!bytes.empty())
        ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr);
    bytes.resize(got);
    CloseHandle(file);
    return bytes;
}

inline bool FileExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Returns once the writer thread has written everything queued to it so far,
// or false after a few seconds.
inline bool WriterDrained()
{
    ProcessLog* log = CurrentLog.load();
    if (log == nullptr || log->writerThread == nullptr)
        return true;
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    bool drained = QueueWriterCall(log, [](void* done) { SetEvent(static_cast<HANDLE>(done)); }, event) &&
                   WaitForSingleObject(event, 5000) == WAIT_OBJECT_0;
    CloseHandle(event);
    return drained;
}

// Starts this executable again as a child in the given role. Returns the
// process handle (owned by the caller), or null.
inline HANDLE StartChild(const std::wstring& roleAndArgs)
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(self) + L"\" --log-child " + roleAndArgs;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(self, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return nullptr;
    CloseHandle(process.hThread);
    return process.hProcess;
}

// Waits for a child and returns its exit code; a child still running after the
// time-out is ended (it is ours) and reported as STILL_ACTIVE.
inline DWORD FinishChild(HANDLE process, DWORD timeout = 30000)
{
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(process, timeout) == WAIT_OBJECT_0)
        GetExitCodeProcess(process, &code);
    else
        TerminateProcess(process, STILL_ACTIVE);
    CloseHandle(process);
    return code;
}

inline DWORD RunChild(const std::wstring& roleAndArgs)
{
    HANDLE process = StartChild(roleAndArgs);
    return process ? FinishChild(process) : 0xFFFFFFFF;
}

}  // namespace logtest
