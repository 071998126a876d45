#include "tools/ruxfuzz/ConsoleProbe.h"

#include "tools/ruxfuzz/ChildStart.h"

#include "base/UniqueHandle.h"

#include <cstdio>

namespace {

// ruxui-console waits up to 5 s for a free pipe instance on top of its own
// time-outs; this is the margin given for that and for its start.
constexpr DWORD StartAndConnectMarginMs = 10000;
constexpr DWORD ErrorPipeBytes = 64 * 1024;

std::string LastLine(const std::string& text)
{
    size_t end = text.find_last_not_of("\r\n");
    if (end == std::string::npos)
        return {};
    size_t start = text.find_last_of('\n', end);
    return text.substr(start == std::string::npos ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1) + 1);
}

}  // namespace

bool ConsoleProbe::Ask(const std::wstring& consolePath, DWORD timeoutMs, std::string& error)
{
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    UniquePipe errorRead;
    UniquePipe errorWrite;
    UniqueFile nothing(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                   OPEN_EXISTING, 0, nullptr));
    // The console's standard error is short (one line on failure) and fits
    // the pipe, so it is read once the console has ended.
    if (!nothing.valid() || !CreatePipe(errorRead.put(), errorWrite.put(), &inherit, ErrorPipeBytes)) {
        error = "cannot prepare ruxui-console's streams (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    SetHandleInformation(errorRead.get(), HANDLE_FLAG_INHERIT, 0);
    std::wstring timeout = std::to_wstring(timeoutMs);
    std::wstring commandLine = L"\"" + consolePath + L"\" --connect-timeout " + timeout + L" --timeout " + timeout +
                               L" --send \"query RequestSBSetting\" --wait-for reply:RequestSBSetting";
    PROCESS_INFORMATION info = {};
    DWORD startError = 0;
    bool started =
        StartWithStreams(consolePath, commandLine, nothing.get(), nothing.get(), errorWrite.get(), info, startError);
    // Ours closed, the pipe ends with the console's.
    errorWrite.reset();
    nothing.reset();
    if (!started) {
        error = "cannot start ruxui-console (error " + std::to_string(startError) + ")";
        return false;
    }
    CloseHandle(info.hThread);
    UniqueProcess console(info.hProcess);
    DWORD exitCode = STILL_ACTIVE;
    if (WaitForSingleObject(console.get(), 2 * timeoutMs + StartAndConnectMarginMs) != WAIT_OBJECT_0) {
        TerminateProcess(console.get(), ERROR_TIMEOUT);
        WaitForSingleObject(console.get(), StartAndConnectMarginMs);
    }
    GetExitCodeProcess(console.get(), &exitCode);
    std::string text;
    char chunk[4096];
    DWORD done = 0;
    while (ReadFile(errorRead.get(), chunk, sizeof(chunk), &done, nullptr) && done > 0)
        text.append(chunk, done);
    if (exitCode == 0)
        return true;
    char code[64];
    std::snprintf(code, sizeof(code), "ruxui-console ended with exit code %lu", exitCode);
    error = code;
    std::string line = LastLine(text);
    if (!line.empty())
        error += ": " + line;
    return false;
}
