// ruxhost: the host process of the plug-in. Loads RUXUI.dll, creates a client
// through the factory at ordinal 2 and drives it through the host interface
// from a small script, given as arguments or on standard input; can run the
// flush entry at ordinal 1 on a thread; lists the module's exports; reports its
// own handles, private bytes and threads for a driver that watches for leaks.
#include "tools/ruxhost/PluginHost.h"
#include "tools/ruxhost/ProcessFigures.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <exception>
#include <limits>
#include <string>
#include <vector>

namespace {

// Exit codes: 0 every step done, 1 a step failed (the rest were not run),
// 2 bad arguments or script.
constexpr int ExitFailed = 1;
constexpr int ExitUsage = 2;

constexpr DWORD SleepMaxMs = 600000;
constexpr DWORD FlushWaitMs = 30000;

void PrintUsage()
{
    std::printf(
        "usage: ruxhost [--dll PATH] STEP...     run the steps given as arguments\n"
        "       ruxhost [--dll PATH] -           read steps from standard input, one a line\n"
        "       ruxhost --exports [DLL]          list the module's exports with their ordinals\n"
        "       ruxhost --help                   show this text\n"
        "       ruxhost --version                the version\n"
        "\n"
        "Steps (a step and its number may be one argument, \"session 1\", or two):\n"
        "  new          load the plug-in and create a client (RuxUIClientNew, ordinal 2)\n"
        "  start        StartWorker\n"
        "  session N    SetSession(N); N is an int32, -1 for the active console session\n"
        "  perform      Perform, and print its result\n"
        "  destroy      Destroy the client\n"
        "  sleep MS     wait MS milliseconds (at most 600000)\n"
        "  flush        run OlvLog_FlushThread (ordinal 1) on a new thread, print its exit code\n"
        "  unload       free the plug-in module (no client may be alive); a run that outlived\n"
        "               Destroy's wait keeps it mapped until the run returns\n"
        "  resources    print this process's own figures, for a driver that watches for leaks:\n"
        "               resources: handles=N private-bytes=N threads=N\n"
        "Lines of standard input that are empty or start with # are skipped.\n"
        "One line is printed per step. A client still alive at the end is destroyed.\n"
        "--dll defaults to RUXUI.dll beside ruxhost.exe.\n");
}

int PrintExports(const wchar_t* path)
{
    HMODULE module = LoadLibraryW(path);
    if (!module) {
        std::fprintf(stderr, "ruxhost: cannot load %ls (error %lu)\n", path, GetLastError());
        return 1;
    }
    auto base = reinterpret_cast<const BYTE*>(module);
    auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    auto exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    auto names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    auto ordinals = reinterpret_cast<const WORD*>(base + exports->AddressOfNameOrdinals);
    std::printf("%ls exports %lu entries:\n", path, exports->NumberOfFunctions);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        const char* name = reinterpret_cast<const char*>(base + names[i]);
        DWORD ordinal = exports->Base + ordinals[i];
        bool resolves = GetProcAddress(module, MAKEINTRESOURCEA(ordinal)) == GetProcAddress(module, name);
        std::printf("  @%lu %s%s\n", ordinal, name, resolves ? "" : " (ordinal does not resolve to the name)");
    }
    FreeLibrary(module);
    return 0;
}


struct Step {
    std::wstring command;
    std::wstring argument;
    int32_t number = 0;

    std::wstring Text() const { return argument.empty() ? command : command + L" " + argument; }
};

std::vector<std::wstring> SplitWords(const std::wstring& text)
{
    std::vector<std::wstring> words;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t start = text.find_first_not_of(L" \t\r\n", at);
        if (start == std::wstring::npos)
            break;
        std::size_t end = text.find_first_of(L" \t\r\n", start);
        if (end == std::wstring::npos)
            end = text.size();
        words.push_back(text.substr(start, end - start));
        at = end;
    }
    return words;
}

bool ParseInt32(const std::wstring& text, int32_t& value)
{
    if (text.empty() || text.size() > 11)
        return false;
    std::size_t digits = text[0] == L'-' ? 1 : 0;
    if (digits == text.size() || text.find_first_not_of(L"0123456789", digits) != std::wstring::npos)
        return false;
    long long parsed = std::wcstoll(text.c_str(), nullptr, 10);
    if (parsed < std::numeric_limits<int32_t>::min() || parsed > std::numeric_limits<int32_t>::max())
        return false;
    value = static_cast<int32_t>(parsed);
    return true;
}

bool NeedsNumber(const std::wstring& command)
{
    return command == L"session" || command == L"sleep";
}

// Checks one step; false with a reason for an unknown step or a bad number.
bool CheckStep(Step& step, std::string& reason)
{
    static const wchar_t* const plain[] = {L"new", L"start", L"perform", L"destroy", L"flush", L"unload", L"resources"};
    for (const wchar_t* name : plain) {
        if (step.command == name) {
            if (!step.argument.empty()) {
                reason = "step takes no argument";
                return false;
            }
            return true;
        }
    }
    if (!NeedsNumber(step.command)) {
        reason = "unknown step";
        return false;
    }
    if (step.argument.empty()) {
        reason = "step needs a number";
        return false;
    }
    if (!ParseInt32(step.argument, step.number)) {
        reason = "bad number";
        return false;
    }
    if (step.command == L"sleep" && (step.number < 0 || static_cast<DWORD>(step.number) > SleepMaxMs)) {
        reason = "sleep takes 0 to 600000 ms";
        return false;
    }
    return true;
}

int BadStep(const std::wstring& text, const std::string& reason)
{
    std::fprintf(stderr, "ruxhost: bad step '%ls': %s (try --help)\n", text.c_str(), reason.c_str());
    return ExitUsage;
}

void Report(const Step& step, const char* format, ...)
{
    std::printf("%ls: ", step.Text().c_str());
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
    // Each line reaches a reader (a pipe, the demo) as soon as its step is done.
    std::fflush(stdout);
}

int ReportResources(const Step& step)
{
    ProcessFigures figures;
    DWORD error = ERROR_SUCCESS;
    if (!ProcessFigures::Sample(figures, error)) {
        Report(step, "cannot read this process's figures (error %lu)", error);
        return ExitFailed;
    }
    Report(step, "handles=%lu private-bytes=%llu threads=%lu", figures.handles,
           static_cast<unsigned long long>(figures.privateBytes), figures.threads);
    return 0;
}

// Runs one checked step; returns 0 or the exit code that ends the script.
int RunStep(PluginHost& host, const Step& step)
{
    DWORD error = ERROR_SUCCESS;
    if (step.command == L"new") {
        if (host.hasClient()) {
            Report(step, "refused: a client is alive (destroy it first)");
            return ExitUsage;
        }
        if (!host.Load(error)) {
            Report(step, "cannot load %ls (error %lu)", host.modulePath().c_str(), error);
            return ExitFailed;
        }
        if (!host.NewClient(error)) {
            if (error == ERROR_SUCCESS)
                Report(step, "RuxUIClientNew (ordinal 2) returned null: no client");
            else
                Report(step, "the module has no ordinal 2 (error %lu)", error);
            return ExitFailed;
        }
        Report(step, "client created");
        return 0;
    }
    if (step.command == L"sleep") {
        Sleep(static_cast<DWORD>(step.number));
        Report(step, "slept %ld ms", static_cast<long>(step.number));
        return 0;
    }
    if (step.command == L"flush") {
        DWORD exitCode = 0;
        if (!host.RunFlushThread(FlushWaitMs, exitCode, error)) {
            if (error == ERROR_TIMEOUT)
                Report(step, "OlvLog_FlushThread did not end within %lu ms", FlushWaitMs);
            else
                Report(step, "cannot run OlvLog_FlushThread (error %lu)", error);
            return ExitFailed;
        }
        Report(step, "OlvLog_FlushThread ended with exit code %lu", exitCode);
        return 0;
    }
    if (step.command == L"resources")
        return ReportResources(step);
    if (step.command == L"unload") {
        bool stillMapped = false;
        if (!host.Unload(stillMapped)) {
            Report(step, "refused: a client is alive (destroy it first)");
            return ExitUsage;
        }
        Report(step, stillMapped ? "module freed (still mapped: a run of a destroyed client holds it until it returns)"
                                 : "module freed");
        return 0;
    }
    if (!host.hasClient()) {
        Report(step, "refused: no client (use new first)");
        return ExitUsage;
    }
    if (step.command == L"start") {
        host.StartWorker();
        Report(step, "StartWorker done");
    } else if (step.command == L"session") {
        host.SetSession(step.number);
        Report(step, "SetSession(%ld) done", static_cast<long>(step.number));
    } else if (step.command == L"perform") {
        int32_t result = host.Perform();
        Report(step, "Perform returned %ld", static_cast<long>(result));
    } else if (step.command == L"destroy") {
        host.Destroy();
        Report(step, "client destroyed");
    }
    return 0;
}

// Destroys a client that the script left alive, so that no worker outlives
// the host's wish to end.
int Finish(PluginHost& host, int result)
{
    if (host.hasClient()) {
        Step step{L"destroy", L"", 0};
        host.Destroy();
        Report(step, "client destroyed (end of script)");
    }
    return result;
}

int RunArguments(PluginHost& host, const std::vector<std::wstring>& args)
{
    // Every step is checked before the first one runs: a typo late in the
    // script must not leave a half-driven client behind.
    std::vector<Step> steps;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::vector<std::wstring> words = SplitWords(args[i]);
        if (words.empty())
            return BadStep(args[i], "empty step");
        if (words.size() > 2)
            return BadStep(args[i], "one step per argument");
        Step step{words[0], words.size() == 2 ? words[1] : L"", 0};
        if (words.size() == 1 && NeedsNumber(step.command) && i + 1 < args.size())
            step.argument = args[++i];
        std::string reason;
        if (!CheckStep(step, reason))
            return BadStep(step.Text(), reason);
        steps.push_back(step);
    }
    for (const Step& step : steps) {
        int result = RunStep(host, step);
        if (result != 0)
            return Finish(host, result);
    }
    return Finish(host, 0);
}

int RunStandardInput(PluginHost& host)
{
    // Each line runs as soon as it is read, so a person or a program can drive
    // the client step by step.
    char line[1024];
    while (std::fgets(line, sizeof(line), stdin)) {
        std::size_t bytes = std::strlen(line);
        if (bytes == sizeof(line) - 1 && line[bytes - 1] != '\n' && !std::feof(stdin))
            return Finish(host, BadStep(L"(line)", "line longer than 1022 characters"));
        int length = MultiByteToWideChar(CP_UTF8, 0, line, -1, nullptr, 0);
        std::wstring text(length > 0 ? length - 1 : 0, L'\0');
        if (length > 1)
            MultiByteToWideChar(CP_UTF8, 0, line, -1, text.data(), length);
        std::vector<std::wstring> words = SplitWords(text);
        if (words.empty() || words[0][0] == L'#')
            continue;
        if (words.size() > 2)
            return Finish(host, BadStep(words[0] + L" " + words[1] + L" ...", "one step per line"));
        Step step{words[0], words.size() == 2 ? words[1] : L"", 0};
        std::string reason;
        if (!CheckStep(step, reason))
            return Finish(host, BadStep(step.Text(), reason));
        int result = RunStep(host, step);
        if (result != 0)
            return Finish(host, result);
    }
    return Finish(host, 0);
}

std::wstring DefaultModulePath()
{
    wchar_t self[MAX_PATH + 1] = {};
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    self[MAX_PATH] = L'\0';
    std::wstring path(self, length <= MAX_PATH ? length : MAX_PATH);
    std::size_t slash = path.find_last_of(L"\\/");
    return (slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1)) + L"RUXUI.dll";
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc >= 2 && std::wcscmp(argv[1], L"--exports") == 0 && argc <= 3)
        return PrintExports(argc == 3 ? argv[2] : L"RUXUI.dll");
    if (argc == 2 && (std::wcscmp(argv[1], L"--help") == 0 || std::wcscmp(argv[1], L"-h") == 0)) {
        PrintUsage();
        return 0;
    }
    if (argc == 2 && std::wcscmp(argv[1], L"--version") == 0) {
        std::printf("ruxhost %s\n", OLV_PROJECT_VERSION);
        return 0;
    }
    int first = 1;
    std::wstring modulePath;
    if (argc >= 2 && std::wcscmp(argv[1], L"--dll") == 0) {
        if (argc < 3) {
            std::fprintf(stderr, "ruxhost: --dll needs a path (try --help)\n");
            return ExitUsage;
        }
        modulePath = argv[2];
        first = 3;
    } else {
        modulePath = DefaultModulePath();
    }
    if (first >= argc) {
        std::fprintf(stderr, "ruxhost: no steps (give them as arguments, or - to read them from standard input; try --help)\n");
        return ExitUsage;
    }
    PluginHost host(modulePath);
    try {
        if (argc == first + 1 && std::wcscmp(argv[first], L"-") == 0)
            return RunStandardInput(host);
        return RunArguments(host, std::vector<std::wstring>(argv + first, argv + argc));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ruxhost: %s\n", e.what());
        return ExitFailed;
    }
}
