#include "tests/support/ChildScenario.h"

#include <shellapi.h>

#include <cstdio>
#include <exception>
#include <map>

namespace testsupport {

namespace {

constexpr const wchar_t* ChildSwitch = L"--child";

std::map<std::string, ChildScenario>& Scenarios()
{
    static std::map<std::string, ChildScenario> scenarios;
    return scenarios;
}

// The command line's arguments after the program name.
std::vector<std::wstring> Arguments()
{
    std::vector<std::wstring> arguments;
    int count = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (argv == nullptr)
        return arguments;
    for (int i = 1; i < count; ++i)
        arguments.emplace_back(argv[i]);
    LocalFree(argv);
    return arguments;
}

}  // namespace

ChildScenarioRegistration::ChildScenarioRegistration(const char* name, ChildScenario scenario) noexcept
{
    Scenarios()[name] = scenario;
}

std::optional<int> RunRequestedChildScenario()
{
    std::vector<std::wstring> arguments = Arguments();
    if (arguments.size() < 2 || arguments[0] != ChildSwitch)
        return std::nullopt;
    const std::string name = Narrow(arguments[1]);
    auto found = Scenarios().find(name);
    if (found == Scenarios().end()) {
        std::fprintf(stderr, "no child scenario named '%s'\n", name.c_str());
        return ScenarioFailedExitCode;
    }
    // A scenario that traps ends at once with the trap's code, as its parent
    // expects: no debugger is started for it.
    SetErrorMode(GetErrorMode() | SEM_NOGPFAULTERRORBOX);
    try {
        return found->second(ChildArgs(arguments.begin() + 2, arguments.end()));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "child scenario '%s' threw: %s\n", name.c_str(), error.what());
        return ScenarioFailedExitCode;
    }
}

bool IsChildScenarioProcess()
{
    std::vector<std::wstring> arguments = Arguments();
    return !arguments.empty() && arguments[0] == ChildSwitch;
}

RunningProcess StartChildScenario(const char* name, const ChildArgs& args, unsigned output)
{
    ChildArgs command = {ChildSwitch, std::wstring(name, name + std::char_traits<char>::length(name))};
    command.insert(command.end(), args.begin(), args.end());
    return RunningProcess(TestProgramPath(), command, {}, output);
}

ProcessResult RunChildScenario(const char* name, const ChildArgs& args, DWORD timeoutMs)
{
    return StartChildScenario(name, args).Finish(timeoutMs);
}

}  // namespace testsupport
