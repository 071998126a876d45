// olvlog.exe as a user runs it: its output and exit code for plain, encrypted,
// damaged and missing files, and for encrypted files read with --key.
#include "log/OlvLog.h"
#include "log/tests/EncryptedLogSupport.h"
#include "log/tests/LogTestSupport.h"

#include <gtest/gtest.h>

#include <shellapi.h>

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

// "--append-child PATH MESSAGE": this executable started again appends one line
// to a log, as a second process would; run from a static constructor, before
// GoogleTest starts.
struct AppendChild {
    AppendChild()
    {
        int count = 0;
        wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
        if (args != nullptr && count == 4 && std::wstring(args[1]) == L"--append-child") {
            if (OlvLog_Open(args[2], 1, 1 << 20, false) != OlvLogOpened)
                ExitProcess(10);
            OlvLog_Print(OlvLogError, L"%s", args[3]);
            OlvLog_Close();
            ExitProcess(0);
        }
        if (args != nullptr)
            LocalFree(args);
    }
} Appender;

DWORD RunAppendChild(const std::wstring& path, const std::wstring& message)
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(self) + L"\" --append-child \"" + path + L"\" " + message;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(self, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return 0xFFFFFFFF;
    CloseHandle(process.hThread);
    return FinishChild(process.hProcess);
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
        ScopedLogFlags plain(L"1");
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
        {L"\"" + folder / L"encrypted.log" + L"\"", 4, "encrypted (OLVLOG.1): give --key PRIVATE_KEY_FILE"},
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

// Two processes append to one encrypted file in turn; the tool decrypts all of
// it with the private key, says what it needs without one, and refuses a key
// of another pair or a file that is no key.
TEST(OlvlogTool, DecryptsAnEncryptedLogWithThePrivateKey)
{
    OLV_REQUIRE_DEV_KEY();
    ScopedLogFlags encrypted(nullptr);
    SharedKeyScope shared;
    TempFolder folder;
    const std::wstring path = folder / L"encrypted.log";
    {
        ScopedLog log(path, 1, 1 << 20, false);
        ASSERT_EQ(log.result, OlvLogOpened);
        OlvLog_Print(OlvLogInfo, L"parent \x00e9 %d", 1);
    }
    ASSERT_EQ(RunAppendChild(path, L"child"), 0u);
    {
        ScopedLog log(path, 1, 1 << 20, true);
        ASSERT_EQ(log.result, OlvLogOpened);
        OlvLog_Print(OlvLogError, L"parent %d", 2);
    }
    ASSERT_EQ(HeaderOf(FileBytes(path)).magic, "OLVLOG.1");

    const std::wstring devKey = folder / L"dev-private.key";
    WriteBytes(devKey, DevPrivateKeyText);
    std::string other = DevPrivateKeyText;
    const size_t exponent = other.find("privateExponent ");
    ASSERT_NE(exponent, std::string::npos);
    char& digit = other[exponent + 16 + 100];
    digit = digit == '1' ? '2' : '1';
    const std::wstring otherKey = folder / L"other-private.key";
    WriteBytes(otherKey, other);
    const std::wstring notAKey = folder / L"not-a.key";
    WriteBytes(notAKey, "bits 512\nmodulus 00\n");

    ToolRun run = RunTool(L"--key \"" + devKey + L"\" \"" + path + L"\"");
    EXPECT_EQ(run.exitCode, 0u) << run.err;
    EXPECT_EQ(run.err, "");
    std::vector<std::string> messages;
    for (size_t start = 0; start < run.out.size();) {
        size_t end = run.out.find('\n', start);
        std::string line = run.out.substr(start, end - start);
        messages.push_back(line.substr(line.find("] ") + 2));
        start = end == std::string::npos ? run.out.size() : end + 1;
    }
    EXPECT_EQ(messages, (std::vector<std::string>{"parent \xC3\xA9 1", "child", "parent 2"}));

    struct Case {
        std::wstring arguments;
        DWORD exitCode;
        const char* inErr;
    };
    const Case cases[] = {
        {L"\"" + path + L"\"", 4, "give --key PRIVATE_KEY_FILE"},
        {L"--key \"" + otherKey + L"\" \"" + path + L"\"", 5, "does not match"},
        {L"--key \"" + notAKey + L"\" \"" + path + L"\"", 2, "not a private key file"},
        {L"--key \"" + (folder / L"missing.key") + L"\" \"" + path + L"\"", 2, "cannot open the key file"},
        {L"\"" + path + L"\" --key", 1, "usage"},
    };
    for (const Case& c : cases) {
        ToolRun failed = RunTool(c.arguments);
        EXPECT_EQ(failed.exitCode, c.exitCode) << failed.err;
        EXPECT_NE(failed.err.find(c.inErr), std::string::npos) << failed.err;
        EXPECT_EQ(failed.out, "");
    }
}
