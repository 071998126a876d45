// Scenarios that must run in a process of their own (fatal assertions, a
// process reduced to one thread, a fresh wait-event table): the test executable
// starts itself again with "--child NAME", and the parent checks the exit code.
#pragma once

#include <windows.h>

using ChildScenario = int (*)();

// Registers a scenario under a name (at static initialisation).
struct ChildScenarioRegistration {
    ChildScenarioRegistration(const char* name, ChildScenario scenario) noexcept;
};

#define OLV_CHILD_SCENARIO(name)                                                                      \
    static int name();                                                                                \
    static const ChildScenarioRegistration name##Registration(#name, name);                            \
    static int name()

// Runs the named scenario when the command line asks for one; returns false
// otherwise. `exitCode` receives the scenario's result.
bool RunRequestedChildScenario(int argc, char** argv, int& exitCode);

// Starts this executable with "--child NAME" (output discarded) and returns its
// exit code, or ~0u if it could not be started or did not end within
// `timeoutMs` (the child is then terminated).
DWORD RunChildScenario(const char* name, DWORD timeoutMs = 20000);

// Exit code of a process that hit an unhandled breakpoint.
constexpr DWORD BreakpointExitCode = 0x80000003;
