// ruxhost as a real process, driving a stand-in plug-in that records every
// call it receives.
#include "tests/support/ProcessRun.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <sstream>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

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
    void SetUp() override { SetEnvironmentVariableW(L"OLV_FAKE_PLUGIN_TRACE", trace_.c_str()); }

    void TearDown() override
    {
        SetEnvironmentVariableW(L"OLV_FAKE_PLUGIN_TRACE", nullptr);
        SetEnvironmentVariableW(L"OLV_FAKE_PLUGIN_NULL", nullptr);
    }

    static std::wstring FakePlugin() { return BesideTestProgram(L"FakeRuxPlugin.dll"); }

    // Runs ruxhost with the arguments and, when given, a script on standard
    // input; output and errors in one text.
    HostRun Run(const std::vector<std::wstring>& args, const std::string& input = {})
    {
        ProcessResult result = RunProcess(BesideTestProgram(L"ruxhost.exe"), args, input, DefaultProcessTimeoutMs,
                                          ErrorsToOutput | DropCarriageReturns);
        std::vector<unsigned char> trace = FileBytes(trace_);
        std::string text(trace.begin(), trace.end());
        std::erase(text, '\r');
        return {static_cast<int>(result.exitCode), Lines(result.out), Lines(text)};
    }

    TempFolder temp_;
    std::wstring trace_ = temp_ / L"trace.txt";
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
        {L"new", L"bogus"},
        {L"new", L"session"},
        {L"new", L"session x"},
        {L"new", L"session 2147483648"},   // one above the largest
        {L"new", L"session -2147483649"},  // one below the smallest
        {L"new", L"sleep 600001"},         // one above the longest
        {L"new", L"sleep -1"},
        {L"new", L"perform now"},
        {L"new", L"session 1 2"},
        {},
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

// The numbers at their limits pass the check: the sessions are handed on as
// given, and the longest sleep is refused only for the bad step after it.
TEST_F(RuxHost, NumbersAtTheirLimitsAreTaken)
{
    HostRun run = Run({L"--dll", FakePlugin(), L"new", L"session 2147483647", L"session -2147483648", L"sleep 0",
                       L"destroy"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.trace, (std::vector<std::string>{"RuxUIClientNew", "SetSession 2147483647", "SetSession -2147483648",
                                                   "Destroy"}));
    run = Run({L"--dll", FakePlugin(), L"sleep 600000", L"bogus"});
    EXPECT_EQ(run.exitCode, 2);
    ASSERT_EQ(run.output.size(), 1u);
    EXPECT_EQ(run.output[0].rfind("ruxhost: bad step 'bogus'", 0), 0u) << run.output[0];
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
    HostRun run = Run({L"--dll", BesideTestProgram(L"NoSuchPlugin.dll"), L"new"});
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
