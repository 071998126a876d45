// olvlog.exe as a user runs it: its output and exit code for plain, encrypted,
// damaged and missing files.
#include "log/OlvLog.h"
#include "log/tests/LogTestSupport.h"

#include <gtest/gtest.h>

#include <string>

using namespace logtest;

namespace {

struct ToolRun {
    DWORD exitCode = 0xFFFFFFFF;
    std::string out;
    std::string err;
};

std::string Drain(HANDLE pipe)
{
    std::string text;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(pipe, chunk, sizeof(chunk), &got, nullptr) && got > 0)
        text.append(chunk, got);
    return text;
}

// Runs olvlog.exe from this executable's folder with the given arguments.
ToolRun RunTool(const std::wstring& arguments)
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring tool = self;
    tool = tool.substr(0, tool.find_last_of(L'\\') + 1) + L"olvlog.exe";
    std::wstring commandLine = L"\"" + tool + L"\" " + arguments;

    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE outRead, outWrite, errRead, errWrite;
    ToolRun run;
    if (!CreatePipe(&outRead, &outWrite, &inherit, 0))
        return run;
    if (!CreatePipe(&errRead, &errWrite, &inherit, 0)) {
        CloseHandle(outRead);
        CloseHandle(outWrite);
        return run;
    }
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    startup.hStdInput = nullptr;
    PROCESS_INFORMATION process{};
    BOOL started = CreateProcessW(tool.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                  &startup, &process);
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    if (started) {
        // Output is small: stdout is drained first, stderr after the end of stdout.
        // Text mode: CR LF line ends on Windows; compared without the CR.
        run.out = Drain(outRead);
        run.err = Drain(errRead);
        std::erase(run.out, '\r');
        std::erase(run.err, '\r');
        if (WaitForSingleObject(process.hProcess, 10000) == WAIT_OBJECT_0)
            GetExitCodeProcess(process.hProcess, &run.exitCode);
        else
            TerminateProcess(process.hProcess, 1);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(outRead);
    CloseHandle(errRead);
    return run;
}

void WriteBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

}  // namespace

TEST(OlvlogTool, PrintsTheLinesOfAPlainLog)
{
    TempFolder folder;
    std::wstring path = folder / L"plain.log";
    {
        ScopedLog log(path, 1, 1 << 20, false);
        ASSERT_EQ(log.result, OlvLogOpened);
        OlvLog_Print(OlvLogInfo, L"first %d", 1);
        OlvLog_Print(OlvLogError, L"second \x00e9");
    }
    ToolRun run = RunTool(L"\"" + path + L"\"");
    EXPECT_EQ(run.exitCode, 0u) << run.err;
    std::vector<std::wstring> lines = LogFileReader::Lines(path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(run.out.find("] first 1\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("] second \xC3\xA9\n"), std::string::npos) << "UTF-8 output";
    EXPECT_EQ(run.err, "");
}

TEST(OlvlogTool, ExitCodesTellEncryptedDamagedMissingAndUsage)
{
    TempFolder folder;
    std::string encrypted = "OLVLOG.1";
    encrypted += std::string("\x40\0\0\0", 4) + std::string(64 + 16, 'k');
    WriteBytes(folder / L"encrypted.log", encrypted);
    WriteBytes(folder / L"foreign.log", "just some text, no log");
    std::string cut("OLVLOG.0\xFF\xFE", 10);
    cut += std::string(14, '\0') + std::string("[\0001\0]\0 \0x\0\r\0\n\0", 16) + "abc";
    WriteBytes(folder / L"cut.log", cut);

    struct Case {
        std::wstring arguments;
        DWORD exitCode;
        const char* inErr;
    };
    const Case cases[] = {
        {L"\"" + folder / L"encrypted.log" + L"\"", 4, "private key"},
        {L"\"" + folder / L"foreign.log" + L"\"", 3, "not a log file"},
        {L"\"" + folder / L"cut.log" + L"\"", 3, "damaged"},
        {L"\"" + folder / L"missing.log" + L"\"", 2, "cannot open"},
        {L"", 1, "usage"},
        {L"--bogus", 1, "usage"},
    };
    for (const Case& c : cases) {
        ToolRun run = RunTool(c.arguments);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
        EXPECT_NE(run.err.find(c.inErr), std::string::npos) << run.err;
    }
    ToolRun damaged = RunTool(L"\"" + folder / L"cut.log" + L"\"");
    EXPECT_EQ(damaged.out.substr(0, 6), "[1] x\n") << "lines before the damage are printed";
}

TEST(OlvlogTool, HelpGoesToStandardOutput)
{
    ToolRun run = RunTool(L"--help");
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_NE(run.out.find("usage: olvlog"), std::string::npos);
}
