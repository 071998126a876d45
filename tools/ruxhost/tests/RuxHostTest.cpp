// ruxhost as a real process, driving a stand-in plug-in that records every
// call it receives.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::wstring BinFolder()
{
    wchar_t self[MAX_PATH + 1] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path = self;
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

std::wstring TempFile(const wchar_t* tag)
{
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    static int serial = 0;
    return std::wstring(temp) + L"ruxhost-test-" + tag + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-"
        + std::to_wstring(++serial) + L".txt";
}

std::string ReadFileText(const std::wstring& path)
{
    std::ifstream in(path.c_str(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string result = text.str();
    std::string clean;
    for (char c : result) {
        if (c != '\r')
            clean += c;
    }
    return clean;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

struct HostRun {
    int exitCode = -1;
    std::vector<std::string> output;
    std::vector<std::string> trace;
};

// Each test has its own trace file and leaves no file or variable behind.
class RuxHost : public ::testing::Test {
protected:
    void SetUp() override
    {
        trace_ = TempFile(L"trace");
        SetEnvironmentVariableW(L"OLV_FAKE_PLUGIN_TRACE", trace_.c_str());
    }

    void TearDown() override
    {
        SetEnvironmentVariableW(L"OLV_FAKE_PLUGIN_TRACE", nullptr);
        SetEnvironmentVariableW(L"OLV_FAKE_PLUGIN_NULL", nullptr);
        DeleteFileW(trace_.c_str());
    }

    static std::wstring FakePlugin() { return BinFolder() + L"FakeRuxPlugin.dll"; }

    // Runs ruxhost with the arguments (each quoted) and, when given, a script
    // on standard input; waits at most 30 s.
    HostRun Run(const std::vector<std::wstring>& args, const std::string& input = {})
    {
        HostRun run;
        std::wstring outPath = TempFile(L"out");
        std::wstring inPath = TempFile(L"in");
        {
            std::ofstream in(inPath.c_str(), std::ios::binary);
            in << input;
        }
        SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
        HANDLE out = CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
        HANDLE in = CreateFileW(inPath.c_str(), GENERIC_READ, FILE_SHARE_READ, &inherit, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(out, INVALID_HANDLE_VALUE);
        EXPECT_NE(in, INVALID_HANDLE_VALUE);

        std::wstring exe = BinFolder() + L"ruxhost.exe";
        std::wstring commandLine = L"\"" + exe + L"\"";
        for (const std::wstring& arg : args)
            commandLine += L" \"" + arg + L"\"";
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = in;
        startup.hStdOutput = out;
        startup.hStdError = out;
        PROCESS_INFORMATION process = {};
        if (CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
            CloseHandle(process.hThread);
            if (WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0) {
                DWORD code = 0;
                GetExitCodeProcess(process.hProcess, &code);
                run.exitCode = static_cast<int>(code);
            } else {
                TerminateProcess(process.hProcess, 99);
                ADD_FAILURE() << "ruxhost did not end within 30 s";
            }
            CloseHandle(process.hProcess);
        } else {
            ADD_FAILURE() << "cannot start ruxhost: " << GetLastError();
        }
        CloseHandle(out);
        CloseHandle(in);
        run.output = Lines(ReadFileText(outPath));
        run.trace = Lines(ReadFileText(trace_));
        DeleteFileW(outPath.c_str());
        DeleteFileW(inPath.c_str());
        return run;
    }

    std::wstring trace_;
};

}  // namespace

TEST_F(RuxHost, DrivesEachInterfaceSlotInScriptOrderAndPrintsOneLinePerStep)
{
    HostRun run = Run({L"--dll", FakePlugin(), L"new", L"start", L"session 3", L"perform", L"session", L"-1",
                       L"perform", L"flush", L"sleep 1", L"destroy"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, (std::vector<std::string>{
                              "new: client created",
                              "start: StartWorker done",
                              "session 3: SetSession(3) done",
                              "perform: Perform returned 31",
                              "session -1: SetSession(-1) done",
                              "perform: Perform returned -9",
                              "flush: OlvLog_FlushThread ended with exit code 7",
                              "sleep 1: slept 1 ms",
                              "destroy: client destroyed",
                          }));
    EXPECT_EQ(run.trace, (std::vector<std::string>{"RuxUIClientNew", "StartWorker", "SetSession 3", "Perform",
                                                   "SetSession -1", "Perform", "FlushThread", "Destroy"}));
}

TEST_F(RuxHost, NullClientEndsTheScriptWithNonZeroExit)
{
    SetEnvironmentVariableW(L"OLV_FAKE_PLUGIN_NULL", L"1");
    HostRun run = Run({L"--dll", FakePlugin(), L"new", L"start", L"perform"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.output, (std::vector<std::string>{"new: RuxUIClientNew (ordinal 2) returned null: no client"}));
    EXPECT_EQ(run.trace, (std::vector<std::string>{"RuxUIClientNew null"}));
}

TEST_F(RuxHost, ScriptOnStandardInputRunsLineByLineAndALiveClientIsDestroyedAtTheEnd)
{
    HostRun run = Run({L"--dll", FakePlugin(), L"-"}, "# a comment\r\nnew\n\n  session 2\nperform\n");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, (std::vector<std::string>{
                              "new: client created",
                              "session 2: SetSession(2) done",
                              "perform: Perform returned 20",
                              "destroy: client destroyed (end of script)",
                          }));
    ASSERT_FALSE(run.trace.empty());
    EXPECT_EQ(run.trace.back(), "Destroy");
}

TEST_F(RuxHost, BadScriptIsRefusedBeforeAnyStepRuns)
{
    const std::vector<std::vector<std::wstring>> scripts = {
        {L"new", L"bogus"},     {L"new", L"session"},     {L"new", L"session x"}, {L"new", L"session 2147483648"},
        {L"new", L"sleep 600001"}, {L"new", L"perform now"}, {L"new", L"session 1 2"}, {},
    };
    for (const auto& script : scripts) {
        std::vector<std::wstring> args = {L"--dll", FakePlugin()};
        args.insert(args.end(), script.begin(), script.end());
        HostRun run = Run(args);
        SCOPED_TRACE(testing::Message() << script.size() << " steps, last " << (script.empty() ? "" : "given"));
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_TRUE(run.trace.empty());
        ASSERT_EQ(run.output.size(), 1u);
        EXPECT_EQ(run.output[0].rfind("ruxhost: ", 0), 0u) << run.output[0];
    }
}

TEST_F(RuxHost, StepsThatNeedAClientAreRefusedWithoutOne)
{
    HostRun run = Run({L"--dll", FakePlugin(), L"new", L"destroy", L"perform"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.output.back(), "perform: refused: no client (use new first)");
    EXPECT_EQ(run.trace, (std::vector<std::string>{"RuxUIClientNew", "Destroy"}));
}

TEST_F(RuxHost, ModuleThatDoesNotLoadIsReported)
{
    HostRun run = Run({L"--dll", BinFolder() + L"NoSuchPlugin.dll", L"new"});
    EXPECT_EQ(run.exitCode, 1);
    ASSERT_EQ(run.output.size(), 1u);
    EXPECT_EQ(run.output[0].rfind("new: cannot load ", 0), 0u) << run.output[0];
}

TEST_F(RuxHost, ExportsListsBothEntriesAtTheirOrdinals)
{
    HostRun run = Run({L"--exports", FakePlugin()});
    EXPECT_EQ(run.exitCode, 0);
    ASSERT_EQ(run.output.size(), 3u);
    EXPECT_EQ(run.output[1], "  @1 OlvLog_FlushThread");
    EXPECT_EQ(run.output[2], "  @2 RuxUIClientNew");
}
