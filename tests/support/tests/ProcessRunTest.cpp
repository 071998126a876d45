// Processes started by tests: what the runners written before this one got
// wrong (stdout drained to its end before stderr was read, an argument ending
// in a backslash quoted into a quote, children never ended when they hung).
#include "tests/support/ChildScenario.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using namespace testsupport;

namespace {

constexpr size_t ManyBytes = 300 * 1024;  // several times what a pipe holds

}  // namespace

// Chatter: fills standard error first, then standard output, with more than a
// pipe holds, and tells how many bytes its standard input had.
OLV_CHILD_SCENARIO(Chatter)
{
    const std::string block(1024, 'e');
    for (size_t written = 0; written < ManyBytes; written += block.size())
        std::fwrite(block.data(), 1, block.size(), stderr);
    size_t input = 0;
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, stdin)) > 0;)
        input += got;
    std::fputs(std::string(ManyBytes, 'o').c_str(), stdout);
    std::printf("|%zu", input);
    return 7;
}

// EchoArgs: each argument between brackets.
OLV_CHILD_SCENARIO(EchoArgs)
{
    for (const std::wstring& arg : args)
        std::printf("[%ls]", arg.c_str());
    return 0;
}

OLV_CHILD_SCENARIO(Hang)
{
    Sleep(INFINITE);
    return 0;
}

TEST(RunProcess, ReadsBothStreamsAndFeedsTheInputWhileTheChildRuns)
{
    ProcessResult result = RunningProcess(TestProgramPath(), {L"--child", L"Chatter"}, std::string(ManyBytes, 'i'))
                               .Finish();
    EXPECT_EQ(result.exitCode, 7u);
    // Sizes and the first byte that differs, not the texts: they are long.
    const std::string tail = std::string(1, '|').append(std::to_string(ManyBytes));
    EXPECT_EQ(result.err.size(), ManyBytes);
    EXPECT_EQ(result.err.find_first_not_of('e'), std::string::npos);
    EXPECT_EQ(result.out.size(), ManyBytes + tail.size());
    EXPECT_EQ(result.out.find_first_not_of('o'), ManyBytes);
    EXPECT_EQ(result.out.compare(ManyBytes, std::string::npos, tail), 0) << result.out.substr(ManyBytes);
}

TEST(RunProcess, EveryArgumentArrivesAsGiven)
{
    const ChildArgs args = {L"plain", L"two words", L"C:\\", L"\"quoted\"", L"back\\\\slash\\\"quote", L"", L"tab\there"};
    ProcessResult result = RunChildScenario("EchoArgs", args);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.out, "[plain][two words][C:\\][\"quoted\"][back\\\\slash\\\"quote][][tab\there]");
}

TEST(RunProcess, ChildThatOverstaysIsKilledAndReported)
{
    static DWORD exitCode = 0;
    EXPECT_NONFATAL_FAILURE(exitCode = RunChildScenario("Hang", {}, 200).exitCode, "did not end within 200 ms: killed");
    EXPECT_EQ(exitCode, KilledExitCode);
}
