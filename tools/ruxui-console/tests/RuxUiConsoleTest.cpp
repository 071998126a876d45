// ruxui-console as a process, against this test playing the plug-in: its own
// sink (a unique name, passed with --peer) and service "SB".
#include "rux/RuxExtensions.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <thread>
#include <vector>

namespace {

struct Outcome {
    DWORD exitCode = STILL_ACTIVE;
    std::string out;
    std::string err;
};

// Runs ruxui-console.exe from this test's folder with `args`, feeding `input`
// to its standard input. `whileRunning` runs meanwhile.
class ConsoleRun {
public:
    ConsoleRun(const std::string& args, const std::string& input = "")
    {
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        HANDLE inRead, inWrite;
        CreatePipe(&outRead_, &outWrite_, &inherit, 0);
        CreatePipe(&errRead_, &errWrite_, &inherit, 0);
        CreatePipe(&inRead, &inWrite, &inherit, 0);
        SetHandleInformation(outRead_, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(errRead_, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
        wchar_t path[MAX_PATH];
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring exe(path);
        exe = exe.substr(0, exe.find_last_of(L'\\') + 1) + L"ruxui-console.exe";
        std::wstring command = L"\"" + exe + L"\" " + std::wstring(args.begin(), args.end());
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = inRead;
        startup.hStdOutput = outWrite_;
        startup.hStdError = errWrite_;
        PROCESS_INFORMATION info = {};
        if (CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                           &info)) {
            process_ = info.hProcess;
            CloseHandle(info.hThread);
        }
        CloseHandle(inRead);
        CloseHandle(outWrite_);
        CloseHandle(errWrite_);
        DWORD written = 0;
        if (!input.empty())
            WriteFile(inWrite, input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
        CloseHandle(inWrite);
        outReader_ = std::thread([this] { Drain(outRead_, result_.out); });
        errReader_ = std::thread([this] { Drain(errRead_, result_.err); });
    }
    ~ConsoleRun()
    {
        if (process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT)
            TerminateProcess(process_, 99);
        Finish(0);
    }

    bool Started() const { return process_ != nullptr; }

    const Outcome& Finish(DWORD timeoutMs = 15000)
    {
        if (process_) {
            if (WaitForSingleObject(process_, timeoutMs) == WAIT_OBJECT_0)
                GetExitCodeProcess(process_, &result_.exitCode);
            else
                TerminateProcess(process_, 99);
            CloseHandle(process_);
            process_ = nullptr;
        }
        if (outReader_.joinable())
            outReader_.join();
        if (errReader_.joinable())
            errReader_.join();
        return result_;
    }

private:
    static void Drain(HANDLE pipe, std::string& into)
    {
        char buffer[4096];
        DWORD read = 0;
        while (ReadFile(pipe, buffer, sizeof buffer, &read, nullptr) && read)
            into.append(buffer, read);
        CloseHandle(pipe);
    }

    HANDLE process_ = nullptr;
    HANDLE outRead_ = nullptr, outWrite_ = nullptr, errRead_ = nullptr, errWrite_ = nullptr;
    Outcome result_;
    std::thread outReader_;
    std::thread errReader_;
};

std::string Text(RuxItem item)
{
    char buffer[256] = {};
    RuxCopyStr(item, buffer, 0, sizeof buffer);
    return buffer;
}

// The plug-in's side: sink and service "SB" under a unique sink name.
class FakePlugin {
public:
    FakePlugin()
        : name("RuxConsoleT" + std::to_string(GetCurrentProcessId())),
          session(std::to_string(GetCurrentProcessId())),
          sinkEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
          serviceEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr))
    {
        RuxInit();
        sink = RuxStartSink(name.c_str(), sinkEvent);
        service = RuxStartService(sink, "SB", serviceEvent);
    }
    ~FakePlugin()
    {
        RuxStopService(service);
        RuxStopSink(sink);
        RuxExit();
        CloseHandle(sinkEvent);
        CloseHandle(serviceEvent);
    }

    std::string Args(const std::string& steps) const
    {
        return "--session " + session + " --peer " + name + " " + steps;
    }

    // Pushes `item` to the console's sink as the plug-in does: fresh connection.
    bool Push(bool advise, RuxItem item, const std::string& sinkName, const std::string& serviceName = "SB")
    {
        RuxConnection connection = RuxOpenConnection(sinkName.c_str());
        RuxService remote = RuxOpenService(connection, serviceName.c_str());
        int32_t sent = advise ? RuxAdvise(remote, 0, item) : RuxUpdate(remote, 0, item);
        RuxCloseService(remote);
        RuxCloseConnection(connection);
        RuxReleaseItem(item);
        return sent != 0;
    }

    int32_t Pop(RuxItem* call)
    {
        for (int i = 0; i < 100; ++i) {
            int32_t kind = RuxPopCall(service, call);
            if (kind != RuxResult_Empty || WaitForSingleObject(serviceEvent, 10000) != WAIT_OBJECT_0)
                return kind;
        }
        return RuxResult_Empty;
    }

    std::string name;
    std::string session;
    HANDLE sinkEvent;
    HANDLE serviceEvent;
    RuxSink sink = nullptr;
    RuxService service = nullptr;
};

}  // namespace

TEST(RuxUiConsole, SendsEveryCommandAndPrintsAdviseAndReply)
{
    FakePlugin plugin;
    ASSERT_NE(plugin.service, nullptr);
    ConsoleRun console(plugin.Args("--timeout 10000 --send \"enable true\" "
                                   "--send \"query ApplySBSetting EnableScanSpy=true EnableVirtual=false\" "
                                   "--send \"call ShutDownSB\" --send \"query RequestSBSetting\" "
                                   "--wait-for reply:RequestSBSetting --wait-for advise:\"\\\"Status\\\":1\""));
    ASSERT_TRUE(console.Started());
    // The console's peer sets our sink event; as the plug-in, answer it with a push.
    ASSERT_EQ(WaitForSingleObject(plugin.sinkEvent, 10000), WAIT_OBJECT_0);
    std::string consoleSink = "QClient(" + plugin.session + ")";
    ASSERT_TRUE(plugin.Push(true, RuxBuildItem("{s:i,s:s}", "Status", 1, "Version", "1.2.3.4"), consoleSink));

    RuxItem call = nullptr;
    ASSERT_EQ(plugin.Pop(&call), RuxResult_Call);
    RuxItem member = nullptr;
    ASSERT_EQ(RuxGetAssoc(call, "proc", &member), 0);
    EXPECT_EQ(Text(member), "Enable");
    ASSERT_EQ(RuxGetAssoc(call, "arg", &member), 0);
    int32_t flag = 0;
    ASSERT_EQ(RuxGetBool(member, &flag), 0);
    EXPECT_EQ(flag, 1);

    ASSERT_EQ(plugin.Pop(&call), RuxResult_Query);
    ASSERT_EQ(RuxGetAssoc(call, "arg", &member), 0);
    uint16_t count = 0;
    ASSERT_EQ(RuxGetLen(member, &count), 0);
    EXPECT_EQ(count, 2);

    ASSERT_EQ(plugin.Pop(&call), RuxResult_Call);
    EXPECT_EQ(Text(call), "ShutDownSB");

    ASSERT_EQ(plugin.Pop(&call), RuxResult_Query);
    // The second query of this console: cookie 2.
    RuxItem proc = nullptr, cookie = nullptr, source = nullptr, service = nullptr;
    ASSERT_EQ(RuxGetAssoc(call, "proc", &proc), 0);
    ASSERT_EQ(RuxGetAssoc(call, "cookie", &cookie), 0);
    ASSERT_EQ(RuxGetAssoc(call, "source", &source), 0);
    ASSERT_EQ(RuxGetAssoc(call, "service", &service), 0);
    EXPECT_EQ(Text(proc), "RequestSBSetting");
    EXPECT_EQ(Text(source), consoleSink);
    RuxItem settings = RuxBuildItem("{s:b,s:b}", "EnableAutoUpdate", 1, "EnableScanSpy", 0);
    RuxConnection connection = RuxOpenConnection(Text(source).c_str());
    RuxService reply = RuxOpenService(connection, Text(service).c_str());
    EXPECT_NE(RuxReply(reply, 0, proc, cookie, settings), 0);
    RuxCloseService(reply);
    RuxCloseConnection(connection);
    RuxReleaseItem(settings);

    const Outcome& outcome = console.Finish();
    EXPECT_EQ(outcome.exitCode, 0u) << outcome.err;
    EXPECT_NE(outcome.out.find("{\"kind\":\"advise\",\"item\":{\"Status\":1,\"Version\":\"1.2.3.4\"}}\n"),
              std::string::npos)
        << outcome.out;
    EXPECT_NE(outcome.out.find("{\"kind\":\"reply\",\"item\":{\"proc\":\"RequestSBSetting\",\"cookie\":2,"
                               "\"result\":{\"EnableAutoUpdate\":true,\"EnableScanSpy\":false}}}\n"),
              std::string::npos)
        << outcome.out;
}

TEST(RuxUiConsole, ScriptOnStandardInputFailsClearlyWhenAWaitTimesOut)
{
    FakePlugin plugin;
    ConsoleRun console(plugin.Args(""), "# a script\nenable false\nwait-for update 300\nquit\n");
    RuxItem call = nullptr;
    EXPECT_EQ(plugin.Pop(&call), RuxResult_Call);
    const Outcome& outcome = console.Finish();
    EXPECT_EQ(outcome.exitCode, 3u);
    EXPECT_EQ(outcome.err, "ruxui-console: no update message within 300 ms\n");
}

TEST(RuxUiConsole, BadArgumentsAndAnUnreachablePeerExitWithOneLine)
{
    struct Case {
        std::string args;
        DWORD exitCode;
        const char* message;
    } cases[] = {
        {"--session abc", 2, "bad session id 'abc'"},
        {"--session 1 --send \"launch rockets\"", 2, "unknown command 'launch'"},
        {"--session 1 --send \"wait-for advise\"", 2, "--send takes enable, call or query"},
        {"--session 1 --wait-for nothing", 2, "unknown message kind 'nothing'"},
        {"--timeout", 2, "option '--timeout' needs a value"},
        {"--frobnicate 1", 2, "unknown option '--frobnicate'"},
        {"--session " + std::to_string(GetCurrentProcessId()) + " --peer RuxConsoleNobody", 1,
         "cannot reach the plug-in's sink 'RuxConsoleNobody'"},
    };
    for (const auto& c : cases) {
        ConsoleRun console(c.args);
        const Outcome& outcome = console.Finish();
        EXPECT_EQ(outcome.exitCode, c.exitCode) << c.args;
        EXPECT_EQ(outcome.err.rfind("ruxui-console: ", 0), 0u) << c.args << ": " << outcome.err;
        EXPECT_NE(outcome.err.find(c.message), std::string::npos) << c.args << ": " << outcome.err;
        EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
    }
    ConsoleRun help("--help");
    const Outcome& outcome = help.Finish();
    EXPECT_EQ(outcome.exitCode, 0u);
    EXPECT_NE(outcome.out.find("usage: ruxui-console"), std::string::npos);
}
