// Processes a test starts: a program of the build, or this test program again
// (ChildScenario.h). Standard input is fed from a string and then closed;
// standard output and error are captured, and read whenever the test waits
// through the process object, so a talkative child never blocks on a full pipe
// (a child that writes more than a pipe holds while the test waits on something
// else goes on once the test waits here again). Every wait is bounded: a child
// that overstays is killed and reported as a test failure.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

constexpr DWORD DefaultProcessTimeoutMs = 30000;
// Exit codes of a process that could not be started, or that was killed
// because it overstayed its time-out.
constexpr DWORD NotStartedExitCode = 0xFFFFFFFF;
constexpr DWORD KilledExitCode = 0xFFFFFFFE;

struct ProcessResult {
    DWORD exitCode = NotStartedExitCode;
    std::string out;
    std::string err;
};

// How the output is captured (flags).
enum ProcessOutput : unsigned {
    SeparateErrors = 0,
    ErrorsToOutput = 1,       // standard error into `out`, in the order written
    DropCarriageReturns = 2,  // text-mode output compared as text (CR LF read as LF)
};

class RunningProcess {
public:
    RunningProcess();
    // `input` is the child's standard input, then its end.
    RunningProcess(const std::wstring& exe, const std::vector<std::wstring>& args, std::string input = {},
                   unsigned output = SeparateErrors);
    // Kills a child that still runs.
    ~RunningProcess();
    RunningProcess(RunningProcess&&) noexcept;
    RunningProcess& operator=(RunningProcess&&) noexcept;

    bool Started() const;
    DWORD Id() const;

    // Waits until `event` is signalled (true), or the child ends or the time
    // runs out first (false).
    bool WaitForEvent(HANDLE event, DWORD timeoutMs = 10000);
    // Waits until standard output holds `text` (false when the child ended or
    // the time ran out without it).
    bool WaitForOutput(std::string_view text, DWORD timeoutMs = 10000);
    // Standard output so far.
    std::string Output();

    // Waits for the end; a child still running after `timeoutMs` is killed
    // (KilledExitCode) and reported. Later calls return the same result.
    ProcessResult Finish(DWORD timeoutMs = DefaultProcessTimeoutMs);
    // Kills the child now (as Ctrl+C would end a program that runs on) and
    // returns what it wrote.
    ProcessResult Stop();

private:
    struct State;
    std::unique_ptr<State> state;
};

// Runs a program to its end; see RunningProcess::Finish.
ProcessResult RunProcess(const std::wstring& exe, const std::vector<std::wstring>& args, const std::string& input = {},
                         DWORD timeoutMs = DefaultProcessTimeoutMs, unsigned output = SeparateErrors);

// This test program, and a file of the build's output folder beside it.
std::wstring TestProgramPath();
std::wstring BesideTestProgram(std::wstring_view name);

// Text as narrow characters: units below 0x80 kept, others '?' (messages,
// ASCII arguments such as sink names).
std::string Narrow(std::wstring_view text);

}  // namespace testsupport
