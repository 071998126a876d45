#include "runtime/tests/ChildProcess.h"

#include <cstring>
#include <map>
#include <string>

namespace {

std::map<std::string, ChildScenario>& Scenarios()
{
    static std::map<std::string, ChildScenario> scenarios;
    return scenarios;
}

}  // namespace

ChildScenarioRegistration::ChildScenarioRegistration(const char* name, ChildScenario scenario) noexcept
{
    Scenarios()[name] = scenario;
}

bool RunRequestedChildScenario(int argc, char** argv, int& exitCode)
{
    if (argc < 3 || std::strcmp(argv[1], "--child") != 0)
        return false;
    auto found = Scenarios().find(argv[2]);
    exitCode = found == Scenarios().end() ? 2 : found->second();
    return true;
}

DWORD RunChildScenario(const char* name, DWORD timeoutMs)
{
    wchar_t self[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return ~0u;
    std::wstring commandLine = L"\"" + std::wstring(self) + L"\" --child ";
    for (const char* c = name; *c; ++c)
        commandLine += static_cast<wchar_t>(*c);

    // The child's breakpoint report goes to a null device, not into our output.
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul;
    startup.hStdOutput = nul;
    startup.hStdError = nul;
    PROCESS_INFORMATION process{};
    BOOL created = CreateProcessW(self, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                                  &process);
    if (nul != INVALID_HANDLE_VALUE)
        CloseHandle(nul);
    if (!created)
        return ~0u;
    CloseHandle(process.hThread);
    DWORD exitCode = ~0u;
    if (WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &exitCode);
    else
        TerminateProcess(process.hProcess, ~0u);
    CloseHandle(process.hProcess);
    return exitCode;
}
