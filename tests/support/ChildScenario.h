// Scenarios that must run in a process of their own (a fatal trap, a process
// reduced to one thread, a second writer of a file, the other end of a pipe):
// the test program starts itself again with "--child NAME ARGS...", and the
// test's main (TestMain.cpp) runs that scenario instead of the tests. A
// scenario is no test case: test listings never show it.
//
//     OLV_CHILD_SCENARIO(AppendLine)
//     {
//         return Append(args.at(0)) ? 0 : 1;  // the exit code the parent checks
//     }
//     EXPECT_EQ(RunChildScenario("AppendLine", {path}).exitCode, 0u);
#pragma once

#include "tests/support/ProcessRun.h"

#include <optional>
#include <string>
#include <vector>

namespace testsupport {

using ChildArgs = std::vector<std::wstring>;
using ChildScenario = int (*)(const ChildArgs& args);

// Registers a scenario under a name (at static initialisation).
struct ChildScenarioRegistration {
    ChildScenarioRegistration(const char* name, ChildScenario scenario) noexcept;
};

#define OLV_CHILD_SCENARIO(name)                                                                        \
    static int name(const ::testsupport::ChildArgs&);                                                   \
    static const ::testsupport::ChildScenarioRegistration name##Registration(#name, name);              \
    static int name([[maybe_unused]] const ::testsupport::ChildArgs& args)

// The exit code of a scenario name that is not registered, or of a scenario
// that threw (arguments it did not expect: args.at()).
constexpr int ScenarioFailedExitCode = 99;
// The exit code of a process that hit an unhandled breakpoint.
constexpr DWORD BreakpointExitCode = 0x80000003;

// When this process was started for a scenario: runs it and gives its exit
// code. Nothing otherwise.
std::optional<int> RunRequestedChildScenario();
// Whether this process was started for a scenario (for static initialisers
// that must leave a child as its parent made it).
bool IsChildScenarioProcess();

// Starts this test program for the scenario; the child inherits the
// environment. See RunningProcess for the waits.
RunningProcess StartChildScenario(const char* name, const ChildArgs& args = {}, unsigned output = SeparateErrors);
// Runs the scenario to its end: its exit code (BreakpointExitCode for a trap)
// and its output.
ProcessResult RunChildScenario(const char* name, const ChildArgs& args = {},
                               DWORD timeoutMs = DefaultProcessTimeoutMs);

}  // namespace testsupport
