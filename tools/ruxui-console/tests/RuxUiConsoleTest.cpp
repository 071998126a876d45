// ruxui-console as a process, against this test playing the plug-in: its own
// sink (a unique name, passed with --peer) and service "SB".
#include "base/UniqueHandle.h"
#include "contracts/RuxExtensions.h"
#include "tests/support/ProcessRun.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

// ruxui-console.exe from this test's folder with `args`, fed `input`.
RunningProcess StartConsole(const std::vector<std::wstring>& args, const std::string& input = "")
{
    return RunningProcess(BesideTestProgram(L"ruxui-console.exe"), args, input);
}

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
          // The console's sink "QClient(N)" is trusted only when served in
          // session N: the session this test runs in.
          session(std::to_string(WTSGetActiveConsoleSessionId())),
          sinkEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
          serviceEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr))
    {
        RuxInit();
        sink = RuxStartSink(name.c_str(), sinkEvent.get());
        service = RuxStartService(sink, "SB", serviceEvent.get());
    }
    ~FakePlugin()
    {
        RuxStopService(service);
        RuxStopSink(sink);
        RuxExit();
    }

    std::vector<std::wstring> Args(std::vector<std::wstring> steps) const
    {
        steps.insert(steps.begin(), {L"--session", std::wstring(session.begin(), session.end()), L"--peer",
                                     std::wstring(name.begin(), name.end())});
        return steps;
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
            if (kind != RuxResult_Empty || WaitForSingleObject(serviceEvent.get(), 10000) != WAIT_OBJECT_0)
                return kind;
        }
        return RuxResult_Empty;
    }

    std::string name;
    std::string session;
    UniqueEvent sinkEvent;
    UniqueEvent serviceEvent;
    RuxSink sink = nullptr;
    RuxService service = nullptr;
};

}  // namespace

TEST(RuxUiConsole, SendsEveryCommandAndPrintsAdviseAndReply)
{
    FakePlugin plugin;
    ASSERT_NE(plugin.service, nullptr);
    RunningProcess console = StartConsole(plugin.Args(
        {L"--timeout", L"10000", L"--send", L"enable true", L"--send",
         L"query ApplySBSetting EnableScanSpy=true EnableVirtual=false", L"--send", L"call ShutDownSB", L"--send",
         L"query RequestSBSetting", L"--wait-for", L"reply:RequestSBSetting", L"--wait-for", L"advise:\"Status\":1"}));
    ASSERT_TRUE(console.Started());
    // The console's peer sets our sink event; as the plug-in, answer it with a push.
    ASSERT_EQ(WaitForSingleObject(plugin.sinkEvent.get(), 10000), WAIT_OBJECT_0);
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

    ProcessResult outcome = console.Finish(15000);
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
    RunningProcess console = StartConsole(plugin.Args({}), "# a script\nenable false\nwait-for update 300\nquit\n");
    RuxItem call = nullptr;
    EXPECT_EQ(plugin.Pop(&call), RuxResult_Call);
    ProcessResult outcome = console.Finish(15000);
    EXPECT_EQ(outcome.exitCode, 3u);
    EXPECT_EQ(outcome.err, "ruxui-console: no update message within 300 ms\n");
}

TEST(RuxUiConsole, BadArgumentsAndAnUnreachablePeerExitWithOneLine)
{
    struct Case {
        std::vector<std::wstring> args;
        DWORD exitCode;
        const char* message;
    } cases[] = {
        {{L"--session", L"abc"}, 2, "bad session id 'abc'"},
        {{L"--session", L"4294967295"}, 2, "bad session id '4294967295'"},
        {{L"--timeout", L"4294967295"}, 2, "bad time-out '4294967295'"},
        {{L"--session", L"4294967294", L"--timeout", L"4294967294", L"--peer", L"RuxConsoleNobody"}, 1,
         "cannot reach the plug-in's sink 'RuxConsoleNobody'"},
        {{L"--session", L"1", L"--send", L"launch rockets"}, 2, "unknown command 'launch'"},
        {{L"--session", L"1", L"--send", L"wait-for advise"}, 2, "--send takes enable, call or query"},
        {{L"--session", L"1", L"--wait-for", L"nothing"}, 2, "unknown message kind 'nothing'"},
        {{L"--timeout"}, 2, "option '--timeout' needs a value"},
        {{L"--frobnicate", L"1"}, 2, "unknown option '--frobnicate'"},
        {{L"--session", std::to_wstring(GetCurrentProcessId()), L"--peer", L"RuxConsoleNobody"}, 1,
         "cannot reach the plug-in's sink 'RuxConsoleNobody'"},
    };
    for (const auto& c : cases) {
        ProcessResult outcome = RunProcess(BesideTestProgram(L"ruxui-console.exe"), c.args, {}, 15000);
        SCOPED_TRACE(testing::PrintToString(c.args));
        EXPECT_EQ(outcome.exitCode, c.exitCode);
        EXPECT_EQ(outcome.err.rfind("ruxui-console: ", 0), 0u) << outcome.err;
        EXPECT_NE(outcome.err.find(c.message), std::string::npos) << outcome.err;
        EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
    }
    ProcessResult outcome = RunProcess(BesideTestProgram(L"ruxui-console.exe"), {L"--help"}, {}, 15000);
    EXPECT_EQ(outcome.exitCode, 0u);
    EXPECT_NE(outcome.out.find("usage: ruxui-console"), std::string::npos);
}
