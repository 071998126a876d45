// vtctl: shows and changes the simulated engine's state, which lives in the
// current user's registry (see vtapi/EngineState.h). Every change is one
// command; the engine and the plug-in see it at their next call.
#include "runtime/CodePageConverter.h"
#include "vtapi/ComponentList.h"
#include "vtapi/DecimalNumber.h"
#include "vtapi/EngineCall.h"
#include "vtapi/EngineState.h"
#include "vtapi/FaultSwitch.h"
#include "vtapi/OptionName.h"
#include "vtapi/StatisticsField.h"
#include "vtapi/VirtualDataFolder.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Exit codes: 0 done, 1 the state could not be read or changed, 2 bad arguments.
constexpr int ExitFailed = 1;
constexpr int ExitUsage = 2;

const char* const UsageText =
    "usage: vtctl COMMAND [ARGS]\n"
    "Shows and changes the simulated engine (state in the current user's registry\n"
    "under Software\\Halvern\\OLV; a host serving this user's session uses the same).\n"
    "\n"
    "  status                          everything, readable\n"
    "  start | stop                    set the engine's running flag\n"
    "  option get ID|NAME              an option's applied value (and a pending one)\n"
    "  option set ID|NAME VALUE        apply a value at once (VALUE: integer, on/off)\n"
    "  stats set FIELD VALUE           set a statistics counter\n"
    "  stats bump [FIELD] [N]          add N (default 1) to a counter (default BlockedA)\n"
    "  components set NAME=VERSION...  store the component list, in report order\n"
    "  components clear                store an empty component list\n"
    "  components default              forget the stored list (the defaults return)\n"
    "  fault set CALL [fail] [delay MS]  make a call fail and/or answer after MS ms;\n"
    "                                  replaces the call's switches (no option: fail)\n"
    "  fault clear [CALL]              remove the switches of one call or of all; a call\n"
    "                                  waiting out its delay goes on at once\n"
    "  sessions set ID...              sessions that have a logged-on user besides\n"
    "                                  the active console session\n"
    "  sessions clear                  only the active console session has a user\n"
    "  messages set N                  messages waiting (ResetMessages zeroes them)\n"
    "  virtual path [PATH]             show or set the virtual data folder\n"
    "                                  (an empty PATH restores the default)\n"
    "  virtual fill N                  put N files into the virtual data folder\n"
    "  reset                           remove all simulated state\n"
    "  --help                          show this text\n"
    "  --version                       the version\n"
    "\n"
    "ID is an option id 1 to 11; NAME a setting name such as EnableScanSpy.\n"
    "FIELD is BlockedA, Suspicious, BlockedC, Reserved0..Reserved4 or HarmfulDataSize.\n"
    "CALL is an engine call, with or without its VtApi_ prefix (GetStatistics).\n";

std::string ErrorText(DWORD error)
{
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = length ? std::wstring(buffer, length) : std::wstring();
    if (buffer)
        LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' || text.back() == L'.'))
        text.pop_back();
    std::string result = "error " + std::to_string(error);
    if (!text.empty())
        result += " (" + WideToUtf8(text) + ")";
    return result;
}

int UsageError(const std::string& message)
{
    std::fprintf(stderr, "vtctl: %s (try vtctl --help)\n", message.c_str());
    return ExitUsage;
}

int Failed(const std::string& what, DWORD error)
{
    std::fprintf(stderr, "vtctl: %s: %s\n", what.c_str(), ErrorText(error).c_str());
    return ExitFailed;
}

bool ParseOptionValue(std::wstring_view text, int32_t& value)
{
    if (text == L"on" || text == L"true") {
        value = 1;
        return true;
    }
    if (text == L"off" || text == L"false") {
        value = 0;
        return true;
    }
    bool negative = !text.empty() && text[0] == L'-';
    uint32_t magnitude = 0;
    if (!ParseDecimal32(negative ? text.substr(1) : text, magnitude))
        return false;
    if (negative ? magnitude > 2147483648u : magnitude > 2147483647u)
        return false;
    value = negative ? static_cast<int32_t>(0u - magnitude) : static_cast<int32_t>(magnitude);
    return true;
}

using Args = std::vector<std::wstring_view>;

// One line for an option: `label`, its applied value and, when one waits, its
// pending value after `gap`. Nothing is printed when either cannot be read.
int ShowOption(const EngineState& state, int32_t id, const char* label, const char* gap)
{
    int32_t value = 0;
    bool pendingPresent = false;
    int32_t pending = 0;
    DWORD error = state.GetOption(id, value);
    if (error == ERROR_SUCCESS)
        error = state.GetPendingOption(id, pendingPresent, pending);
    if (error != ERROR_SUCCESS)
        return Failed("cannot read option " + std::to_string(id), error);
    std::printf("%s%ld", label, static_cast<long>(value));
    if (pendingPresent)
        std::printf("%s(pending %ld)", gap, static_cast<long>(pending));
    std::printf("\n");
    return 0;
}

int ShowStatus(const EngineState& state)
{
    bool running = false;
    DWORD error = state.GetRunning(running);
    if (error != ERROR_SUCCESS)
        return Failed("cannot read the engine state", error);
    std::printf("engine:            %s\n", running ? "running" : "stopped");

    std::vector<uint32_t> sessions;
    error = state.GetSessions(sessions);
    if (error != ERROR_SUCCESS)
        return Failed("cannot read the sessions", error);
    std::printf("sessions with a user: %lu (active console)", static_cast<unsigned long>(WTSGetActiveConsoleSessionId()));
    for (uint32_t id : sessions)
        std::printf(", %lu", static_cast<unsigned long>(id));
    std::printf("\n");

    uint32_t applied = 0;
    error = state.GetSettingsApplied(applied);
    if (error != ERROR_SUCCESS)
        return Failed("cannot read the options", error);
    std::printf("options (settings applied %lu times):\n", static_cast<unsigned long>(applied));
    for (int32_t id = FirstOptionId; id <= LastOptionId; ++id) {
        const wchar_t* name = OptionSettingName(id);
        char label[128];
        std::snprintf(label, sizeof label, "  %2ld %-28s ", static_cast<long>(id),
                      name ? WideToUtf8(name).c_str() : "(no setting name)");
        if (int failed = ShowOption(state, id, label, "  "))
            return failed;
    }

    std::vector<EngineComponent> components;
    bool usingDefaults = false;
    error = state.GetComponents(components, usingDefaults);
    if (error != ERROR_SUCCESS)
        return Failed("cannot read the components", error);
    std::printf("components (%zu%s):\n", components.size(), usingDefaults ? ", defaults" : "");
    for (std::size_t i = 0; i < components.size(); ++i)
        std::printf("  %zu %-28s %s\n", i, WideToUtf8(components[i].name).c_str(), WideToUtf8(components[i].version).c_str());

    StatisticsValues stats{};
    error = state.GetStatistics(stats);
    if (error != ERROR_SUCCESS)
        return Failed("cannot read the statistics", error);
    std::printf("statistics:\n");
    for (std::size_t i = 0; i < StatisticsFieldCount; ++i)
        std::printf("  %-16s %lu\n", WideToUtf8(StatisticsFieldName(i)).c_str(), static_cast<unsigned long>(stats[i]));

    uint32_t messages = 0;
    error = state.GetMessages(messages);
    if (error != ERROR_SUCCESS)
        return Failed("cannot read the messages", error);
    std::printf("messages:          %lu\n", static_cast<unsigned long>(messages));

    std::wstring path;
    error = state.GetVirtualDataPath(path);
    if (error != ERROR_SUCCESS)
        return Failed("cannot read the virtual data path", error);
    unsigned entries = 0;
    error = VirtualDataFolder(path).CountEntries(entries);
    std::printf("virtual data:      %s (%s)\n", WideToUtf8(path).c_str(),
                error == ERROR_SUCCESS ? (std::to_string(entries) + " entries").c_str() : ErrorText(error).c_str());

    std::printf("faults:");
    FaultSwitch faults(state);
    bool any = false;
    for (std::size_t i = 0; i < EngineCallCount; ++i) {
        auto call = static_cast<EngineCall>(i);
        FaultSetting setting;
        error = faults.Get(call, setting);
        if (error != ERROR_SUCCESS)
            return Failed("cannot read the fault switches", error);
        if (!setting.fail && setting.delayMs == 0)
            continue;
        any = true;
        std::printf("\n  %-28s", WideToUtf8(EngineCallName(call)).c_str());
        if (setting.fail)
            std::printf(" fail");
        if (setting.delayMs)
            std::printf(" delay %lu ms", static_cast<unsigned long>(setting.delayMs));
    }
    std::printf("%s\n", any ? "" : "            none");
    return 0;
}

int OptionCommand(const EngineState& state, const Args& args)
{
    if (args.size() < 2)
        return UsageError("option needs get or set and an option");
    int32_t id = 0;
    if (!ParseOptionId(args[1], id))
        return UsageError("unknown option '" + WideToUtf8(args[1]) + "' (an id 1 to 11 or a setting name)");
    if (args[0] == L"get" && args.size() == 2)
        return ShowOption(state, id, "", " ");
    if (args[0] == L"set" && args.size() == 3) {
        int32_t value = 0;
        if (!ParseOptionValue(args[2], value))
            return UsageError("bad option value '" + WideToUtf8(args[2]) + "' (an integer, on or off)");
        DWORD error = state.SetOption(id, value);
        if (error != ERROR_SUCCESS)
            return Failed("cannot set option " + std::to_string(id), error);
        std::printf("option %ld = %ld\n", static_cast<long>(id), static_cast<long>(value));
        return 0;
    }
    return UsageError("option get ID|NAME, or option set ID|NAME VALUE");
}

int StatsCommand(const EngineState& state, const Args& args)
{
    if (!args.empty() && args[0] == L"set") {
        std::size_t field = 0;
        uint32_t value = 0;
        if (args.size() != 3)
            return UsageError("stats set FIELD VALUE");
        if (!FindStatisticsField(args[1], field))
            return UsageError("unknown statistics field '" + WideToUtf8(args[1]) + "'");
        if (!ParseDecimal32(args[2], value))
            return UsageError("bad counter value '" + WideToUtf8(args[2]) + "' (0 to 4294967295)");
        DWORD error = state.SetStatistic(field, value);
        if (error != ERROR_SUCCESS)
            return Failed("cannot set the counter", error);
        std::printf("%s = %lu\n", WideToUtf8(StatisticsFieldName(field)).c_str(), static_cast<unsigned long>(value));
        return 0;
    }
    if (!args.empty() && args[0] == L"bump") {
        std::size_t field = 0;
        uint32_t n = 1;
        std::size_t next = 1;
        if (next < args.size() && FindStatisticsField(args[next], field))
            ++next;
        if (next < args.size()) {
            if (!ParseDecimal32(args[next], n) || n == 0)
                return UsageError("bad count '" + WideToUtf8(args[next]) + "' (a field name or 1 to 4294967295)");
            ++next;
        }
        if (next != args.size())
            return UsageError("stats bump [FIELD] [N]");
        uint32_t result = 0;
        DWORD error = state.AddToStatistic(field, n, result);
        if (error == ERROR_ARITHMETIC_OVERFLOW)
            return UsageError("the counter would pass 4294967295; use stats set");
        if (error != ERROR_SUCCESS)
            return Failed("cannot change the counter", error);
        std::printf("%s = %lu\n", WideToUtf8(StatisticsFieldName(field)).c_str(), static_cast<unsigned long>(result));
        return 0;
    }
    return UsageError("stats set FIELD VALUE, or stats bump [FIELD] [N]");
}

int ComponentsCommand(const EngineState& state, const Args& args)
{
    if (args.size() == 1 && (args[0] == L"clear" || args[0] == L"default")) {
        DWORD error = args[0] == L"clear" ? state.SetComponents({}) : state.ResetComponents();
        if (error != ERROR_SUCCESS)
            return Failed("cannot change the components", error);
        std::printf(args[0] == L"clear" ? "components cleared\n" : "default components restored\n");
        return 0;
    }
    if (args.size() >= 2 && args[0] == L"set") {
        std::vector<EngineComponent> components;
        for (std::size_t i = 1; i < args.size(); ++i) {
            EngineComponent component;
            std::wstring reason;
            if (!ComponentList::Parse(args[i], component, reason))
                return UsageError("bad component '" + WideToUtf8(args[i]) + "': " + WideToUtf8(reason));
            components.push_back(std::move(component));
        }
        DWORD error = state.SetComponents(components);
        if (error != ERROR_SUCCESS)
            return Failed("cannot store the components", error);
        std::printf("%zu components stored\n", components.size());
        return 0;
    }
    return UsageError("components set NAME=VERSION..., components clear or components default");
}

int FaultCommand(const EngineState& state, const Args& args)
{
    FaultSwitch faults(state);
    if (args.size() == 1 && args[0] == L"clear") {
        DWORD error = faults.ClearAll();
        if (error != ERROR_SUCCESS)
            return Failed("cannot clear the fault switches", error);
        std::printf("all fault switches cleared\n");
        return 0;
    }
    if (args.size() < 2 || (args[0] != L"set" && args[0] != L"clear"))
        return UsageError("fault set CALL [fail] [delay MS], or fault clear [CALL]");
    EngineCall call{};
    if (!FindEngineCall(args[1], call))
        return UsageError("unknown engine call '" + WideToUtf8(args[1]) + "'");
    std::string name = WideToUtf8(EngineCallName(call));
    if (args[0] == L"clear") {
        if (args.size() != 2)
            return UsageError("fault clear [CALL]");
        DWORD error = faults.Clear(call);
        if (error != ERROR_SUCCESS)
            return Failed("cannot clear the fault switch", error);
        std::printf("%s: switches cleared\n", name.c_str());
        return 0;
    }
    bool fail = false;
    bool delay = false;
    uint32_t delayMs = 0;
    for (std::size_t i = 2; i < args.size(); ++i) {
        if (args[i] == L"fail" && !fail) {
            fail = true;
        } else if (args[i] == L"delay" && !delay && i + 1 < args.size()) {
            if (!ParseDecimal32(args[i + 1], delayMs) || delayMs > FaultDelayMaxMs)
                return UsageError("bad delay '" + WideToUtf8(args[i + 1]) + "' (0 to 600000 ms)");
            delay = true;
            ++i;
        } else {
            return UsageError("fault set CALL [fail] [delay MS]");
        }
    }
    if (!fail && !delay)
        fail = true;
    // The command replaces both switches of the call: what is not named is off.
    DWORD error = faults.SetFail(call, fail);
    if (error == ERROR_SUCCESS)
        error = faults.SetDelay(call, delay ? delayMs : 0);
    if (error != ERROR_SUCCESS)
        return Failed("cannot set the fault switch", error);
    std::printf("%s:%s", name.c_str(), fail ? " fails" : "");
    if (delay)
        std::printf(" delay %lu ms", static_cast<unsigned long>(delayMs));
    std::printf("\n");
    return 0;
}

int SessionsCommand(const EngineState& state, const Args& args)
{
    std::vector<uint32_t> sessions;
    if (args.size() == 1 && args[0] == L"clear") {
        // Nothing to add.
    } else if (args.size() >= 2 && args[0] == L"set") {
        for (std::size_t i = 1; i < args.size(); ++i) {
            uint32_t id = 0;
            if (!ParseDecimal32(args[i], id) || id == 0xFFFFFFFF)
                return UsageError("bad session id '" + WideToUtf8(args[i]) + "'");
            sessions.push_back(id);
        }
    } else {
        return UsageError("sessions set ID..., or sessions clear");
    }
    DWORD error = args[0] == L"clear" ? state.ClearSessions() : state.SetSessions(sessions);
    if (error != ERROR_SUCCESS)
        return Failed("cannot store the sessions", error);
    std::printf("%zu sessions listed\n", sessions.size());
    return 0;
}

int VirtualCommand(const EngineState& state, const Args& args)
{
    if (!args.empty() && args[0] == L"path" && args.size() <= 2) {
        if (args.size() == 2) {
            std::wstring path(args[1]);
            if (!path.empty() && !VirtualDataFolder::IsSafePath(path))
                return UsageError("the virtual data folder must be a full path below a drive or share root");
            DWORD error = state.SetVirtualDataPath(path);
            if (error != ERROR_SUCCESS)
                return Failed("cannot store the virtual data path", error);
        }
        std::wstring path;
        DWORD error = state.GetVirtualDataPath(path);
        if (error != ERROR_SUCCESS)
            return Failed("cannot read the virtual data path", error);
        std::printf("%s\n", WideToUtf8(path).c_str());
        return 0;
    }
    if (args.size() == 2 && args[0] == L"fill") {
        uint32_t count = 0;
        if (!ParseDecimal32(args[1], count) || count > 10000)
            return UsageError("bad file count '" + WideToUtf8(args[1]) + "' (0 to 10000)");
        std::wstring path;
        DWORD error = state.GetVirtualDataPath(path);
        if (error == ERROR_SUCCESS)
            error = VirtualDataFolder(path).Fill(count);
        if (error != ERROR_SUCCESS)
            return Failed("cannot fill the virtual data folder", error);
        std::printf("%lu files in %s\n", static_cast<unsigned long>(count), WideToUtf8(path).c_str());
        return 0;
    }
    return UsageError("virtual path [PATH], or virtual fill N");
}

int Run(const Args& all)
{
    std::wstring_view command = all[0];
    Args args(all.begin() + 1, all.end());
    EngineState state;
    if (command == L"status" && args.empty())
        return ShowStatus(state);
    if ((command == L"start" || command == L"stop") && args.empty()) {
        DWORD error = state.SetRunning(command == L"start");
        if (error != ERROR_SUCCESS)
            return Failed("cannot change the running flag", error);
        std::printf("engine %s\n", command == L"start" ? "running" : "stopped");
        return 0;
    }
    if (command == L"option")
        return OptionCommand(state, args);
    if (command == L"stats")
        return StatsCommand(state, args);
    if (command == L"components")
        return ComponentsCommand(state, args);
    if (command == L"fault")
        return FaultCommand(state, args);
    if (command == L"sessions")
        return SessionsCommand(state, args);
    if (command == L"messages" && args.size() == 2 && args[0] == L"set") {
        uint32_t count = 0;
        if (!ParseDecimal32(args[1], count))
            return UsageError("bad message count '" + WideToUtf8(args[1]) + "'");
        DWORD error = state.SetMessages(count);
        if (error != ERROR_SUCCESS)
            return Failed("cannot set the messages", error);
        std::printf("messages = %lu\n", static_cast<unsigned long>(count));
        return 0;
    }
    if (command == L"virtual")
        return VirtualCommand(state, args);
    if (command == L"reset" && args.empty()) {
        DWORD error = state.Remove();
        if (error != ERROR_SUCCESS)
            return Failed("cannot remove the engine state", error);
        std::printf("engine state removed\n");
        return 0;
    }
    return UsageError("unknown command or wrong arguments: '" + WideToUtf8(command) + "'");
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return UsageError("no command");
    if (argc == 2 && (std::wcscmp(argv[1], L"--help") == 0 || std::wcscmp(argv[1], L"-h") == 0)) {
        std::fputs(UsageText, stdout);
        return 0;
    }
    if (argc == 2 && std::wcscmp(argv[1], L"--version") == 0) {
        std::printf("vtctl %s\n", OLV_PROJECT_VERSION);
        return 0;
    }
    DWORD mode = 0;
    if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode))
        SetConsoleOutputCP(CP_UTF8);
    try {
        return Run(Args(argv + 1, argv + argc));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vtctl: %s\n", e.what());
        return ExitFailed;
    }
}
