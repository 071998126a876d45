// How long a genuine "RequestSBSetting" waits for its reply, and how long the
// host's Destroy takes, while a hostile process of the same user has queued
// queries whose reply sinks stall (ruxfuzz's: one drips a byte every few
// seconds, one accepts and never answers), and while every engine read takes 3 s. Each case runs in a
// host process of its own (the plug-in loaded from RUXUI.dll beside this
// program), so that a case the plug-in cannot finish is ended at its cap and
// the next one starts clean. Prints one row per case, in milliseconds.
//
// Processes, all this program: the driver (no arguments) starts a host per
// case (--host CASE); a host starts the hostile process (--hostile N: the two
// stalling sinks and N queries naming them) and, for the reply cases, the
// genuine user interface (--ui), which times its own query.
#include "bench/common/BenchTiming.h"
#include "contracts/RuxExtensions.h"
#include "tools/ruxfuzz/StallingSinks.h"
#include "tools/ruxhost/PluginHost.h"
#include "vtapi/EngineState.h"
#include "vtapi/FaultSwitch.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char* UiSink = "OlvBenchUi";
constexpr const char* UiService = "Answers";
constexpr DWORD SlowEngineMs = 3000;
constexpr int DefaultHostile = 40;
constexpr DWORD DefaultCapMs = 120000;

std::wstring SelfPath()
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    return self;
}

// Starts this program with `arguments`; its standard streams are ours.
HANDLE StartSelf(const std::wstring& arguments)
{
    std::wstring self = SelfPath();
    std::wstring commandLine = L"\"" + self + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (CreateProcessW(self.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                           &process)) {
            CloseHandle(process.hThread);
            return process.hProcess;
        }
        if (GetLastError() != ERROR_INTERNAL_ERROR)  // Wine loses a start now and then
            break;
    }
    return nullptr;
}

std::wstring EventName(const wchar_t* what, DWORD process)
{
    return std::wstring(L"OlvBenchReplies-") + what + L"-" + std::to_wstring(process);
}

// ---- the hostile process ------------------------------------------------------

// ruxfuzz's stalling sinks, one feeding its client a byte every few seconds
// and one that never answers, and `queries` queries naming them in turn.
int RunHostile(int queries, const std::wstring& readyName)
{
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, readyName.c_str());
    StallingSinks sinks;
    std::string error;
    if (!ready || !sinks.Start(error)) {
        std::fprintf(stderr, "bench_replies: the hostile process cannot serve its sinks: %s\n", error.c_str());
        return 1;
    }
    RuxInit();
    int sent = 0;
    if (RuxConnection connection = RuxOpenConnection("SB")) {
        if (RuxService service = RuxOpenService(connection, "SB")) {
            RuxItem proc = RuxBuildItem("s", "RequestSBSetting");
            for (int i = 0; i < queries; ++i) {
                RuxItem cookie = RuxBuildItem("i", i);
                sent += RuxQuery(service, 0, proc, nullptr, cookie,
                                 (i % 2 ? sinks.SilentName() : sinks.DripName()).c_str(), "SB") != 0;
                RuxReleaseItem(cookie);
            }
            RuxReleaseItem(proc);
            RuxCloseService(service);
        }
        RuxCloseConnection(connection);
    }
    if (sent != queries)
        std::fprintf(stderr, "bench_replies: the hostile process sent %d of %d queries\n", sent, queries);
    SetEvent(ready);
    // Serves the stalling sinks until its host ends it.
    Sleep(INFINITE);
    return 0;
}

// ---- the genuine user interface -----------------------------------------------

// Asks once and prints how long the reply took (or that it did not come).
int RunUi(const std::wstring& label, DWORD capMs)
{
    RuxInit();
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    RuxSink sink = RuxStartSink(UiSink, nullptr);
    RuxService service = sink ? RuxStartService(sink, UiService, event) : nullptr;
    int code = 1;
    double took = -1;
    if (service) {
        RuxConnection connection = RuxOpenConnection("SB");
        RuxService to = connection ? RuxOpenService(connection, "SB") : nullptr;
        RuxItem proc = RuxBuildItem("s", "RequestSBSetting");
        RuxItem cookie = RuxBuildItem("s", "genuine");
        double sent = Now();
        if (to && RuxQuery(to, 0, proc, nullptr, cookie, UiSink, UiService)) {
            for (;;) {
                RuxItem item = nullptr;
                int32_t kind = RuxPopCall(service, &item);
                if (kind == RuxResult_Reply) {
                    took = (Now() - sent) * 1000;
                    code = 0;
                    break;
                }
                double left = capMs - (Now() - sent) * 1000;
                if (kind == RuxResult_Empty && (left <= 0 || WaitForSingleObject(event, static_cast<DWORD>(left)) != WAIT_OBJECT_0))
                    break;
            }
        }
        RuxReleaseItem(proc);
        RuxReleaseItem(cookie);
        RuxCloseService(to);
        RuxCloseConnection(connection);
    }
    if (label == L"-")
        ;  // asked for the host's sake only
    else if (took >= 0)
        std::printf("%-58ls %12.0f\n", label.c_str(), took);
    else
        std::printf("%-58ls %11s%lu\n", label.c_str(), ">", static_cast<unsigned long>(capMs));
    std::fflush(stdout);
    RuxStopService(service);
    RuxStopSink(sink);
    RuxExit();
    return code;
}

// ---- a host, one case ---------------------------------------------------------

struct Case {
    const wchar_t* name;
    const wchar_t* label;
    int hostile;      // queries of the hostile process queued first
    bool slowEngine;  // every engine option read takes SlowEngineMs
    bool destroy;     // time Destroy (else the genuine reply)
};

const Case Cases[] = {
    {L"stalled-reply", L"genuine reply, hostile queries to stalling sinks queued", DefaultHostile, false, false},
    {L"stalled-destroy", L"Destroy, hostile queries to stalling sinks queued", DefaultHostile, false, true},
    {L"slow-reply", L"genuine reply, every engine read 3 s", 0, true, false},
    {L"slow-destroy", L"Destroy, one genuine query in the slow engine", 0, true, true},
};

DWORD SetSlowEngine(bool slow)
{
    EngineState state;
    FaultSwitch faults(state);
    return slow ? faults.SetDelay(EngineCall::GetConfigOption, SlowEngineMs) : faults.Clear(EngineCall::GetConfigOption);
}

int RunHost(const Case& c, int hostile, DWORD capMs)
{
    if (c.slowEngine && SetSlowEngine(true) != ERROR_SUCCESS) {
        std::fprintf(stderr, "bench_replies: cannot set the engine's fault switch\n");
        return 1;
    }
    PluginHost plugin(L"RUXUI.dll");
    DWORD error = ERROR_SUCCESS;
    if (!plugin.NewClient(error)) {
        std::fprintf(stderr, "bench_replies: cannot load RUXUI.dll or create a client (error %lu)\n", error);
        return 1;
    }
    plugin.StartWorker();
    // The worker starts "SB" on the pool.
    RuxInit();
    for (int i = 0; i < 100; ++i) {
        RuxConnection probe = RuxOpenConnection("SB");
        RuxCloseConnection(probe);
        if (probe)
            break;
        Sleep(50);
    }

    HANDLE hostileProcess = nullptr;
    int queries = c.slowEngine ? c.hostile : hostile;
    if (queries > 0) {
        std::wstring readyName = EventName(L"hostile", GetCurrentProcessId());
        HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, readyName.c_str());
        hostileProcess = StartSelf(L"--hostile " + std::to_wstring(queries) + L" " + readyName);
        if (!hostileProcess || WaitForSingleObject(ready, 30000) != WAIT_OBJECT_0) {
            std::fprintf(stderr, "bench_replies: the hostile process did not start\n");
            return 1;
        }
        CloseHandle(ready);
    }
    int code = 0;
    if (c.destroy) {
        // In the slow engine: a genuine query, which the host does not wait for.
        HANDLE ui = c.slowEngine ? StartSelf(L"--ui - " + std::to_wstring(capMs)) : nullptr;
        // The host destroys the client a moment after the queries came, as a
        // service stopping in the middle of traffic does.
        Sleep(1000);
        HANDLE returned = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        double start = Now();
        std::thread destroyer([&] {
            plugin.Destroy();
            SetEvent(returned);
        });
        if (WaitForSingleObject(returned, capMs) == WAIT_OBJECT_0) {
            std::printf("%-58ls %12.0f\n", c.label, (Now() - start) * 1000);
            destroyer.join();
        } else {
            std::printf("%-58ls %11s%lu\n", c.label, ">", static_cast<unsigned long>(capMs));
            std::fflush(stdout);
            if (c.slowEngine)
                SetSlowEngine(false);
            TerminateProcess(hostileProcess, 0);
            TerminateProcess(ui, 0);
            TerminateProcess(GetCurrentProcess(), 1);  // Destroy is stuck in the plug-in
        }
        std::fflush(stdout);
        if (ui)
            TerminateProcess(ui, 0);
    } else {
        HANDLE ui = StartSelf(L"--ui \"" + std::wstring(c.label) + L"\" " + std::to_wstring(capMs));
        DWORD uiCode = 1;
        if (ui && WaitForSingleObject(ui, capMs + 30000) == WAIT_OBJECT_0)
            GetExitCodeProcess(ui, &uiCode);
        code = static_cast<int>(uiCode);
        if (hostileProcess)
            TerminateProcess(hostileProcess, 0);
        if (c.slowEngine)
            SetSlowEngine(false);
        // The old plug-in may still be inside the drain: the host ends here.
        std::fflush(stdout);
        TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
    }
    if (hostileProcess)
        TerminateProcess(hostileProcess, 0);
    if (c.slowEngine)
        SetSlowEngine(false);
    RuxExit();
    std::fflush(stdout);
    // A run that outlived Destroy may still be in the engine: the host ends
    // without unloading the plug-in.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
    return code;
}

void PrintUsage()
{
    std::printf(
        "usage: bench_replies [--hostile N] [--cap MS] [CASE...]\n"
        "  Times the genuine \"RequestSBSetting\" reply and the host's Destroy while a hostile\n"
        "  process's queries name reply sinks that stall, and while every engine read takes\n"
        "  3 s (the engine's fault switch, set and cleared here). Needs the sink names \"SB\"\n"
        "  and \"%s\" free. Cases (default all):\n",
        UiSink);
    for (const Case& c : Cases)
        std::printf("    %-16ls %ls\n", c.name, c.label);
    std::printf(
        "  --hostile N  hostile queries, half to each stalling sink (default %d)\n"
        "  --cap MS     the longest a case is waited for (default %lu)\n",
        DefaultHostile, static_cast<unsigned long>(DefaultCapMs));
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc >= 4 && std::wcscmp(argv[1], L"--hostile") == 0 && std::wcsncmp(argv[3], L"OlvBench", 8) == 0)
        return RunHostile(std::wcstol(argv[2], nullptr, 10), argv[3]);
    if (argc == 4 && std::wcscmp(argv[1], L"--ui") == 0)
        return RunUi(argv[2], std::wcstoul(argv[3], nullptr, 10));
    int hostile = DefaultHostile;
    DWORD capMs = DefaultCapMs;
    std::vector<const Case*> chosen;
    for (int i = 1; i < argc; ++i) {
        if (std::wcscmp(argv[i], L"--help") == 0) {
            PrintUsage();
            return 0;
        }
        if (std::wcscmp(argv[i], L"--host") == 0 && i + 3 < argc) {
            for (const Case& c : Cases) {
                if (std::wcscmp(argv[i + 1], c.name) == 0)
                    return RunHost(c, std::wcstol(argv[i + 2], nullptr, 10), std::wcstoul(argv[i + 3], nullptr, 10));
            }
            return 2;
        }
        if (std::wcscmp(argv[i], L"--hostile") == 0 && i + 1 < argc) {
            hostile = std::wcstol(argv[++i], nullptr, 10);
            continue;
        }
        if (std::wcscmp(argv[i], L"--cap") == 0 && i + 1 < argc) {
            capMs = std::wcstoul(argv[++i], nullptr, 10);
            continue;
        }
        bool found = false;
        for (const Case& c : Cases) {
            if (std::wcscmp(argv[i], c.name) == 0) {
                chosen.push_back(&c);
                found = true;
            }
        }
        if (!found) {
            std::fprintf(stderr, "bench_replies: unknown argument (try --help)\n");
            return 2;
        }
    }
    if (chosen.empty()) {
        for (const Case& c : Cases)
            chosen.push_back(&c);
    }
    std::printf("%-58s %12s\n", "case", "ms");
    std::fflush(stdout);
    int code = 0;
    for (const Case* c : chosen) {
        HANDLE host = StartSelf(L"--host " + std::wstring(c->name) + L" " + std::to_wstring(hostile) + L" " +
                                std::to_wstring(capMs));
        DWORD hostCode = 1;
        if (!host || WaitForSingleObject(host, capMs + 60000) != WAIT_OBJECT_0) {
            std::printf("%-58ls %12s\n", c->label, "(host lost)");
            if (host)
                TerminateProcess(host, 1);
        } else {
            GetExitCodeProcess(host, &hostCode);
        }
        if (host)
            CloseHandle(host);
        code |= hostCode != 0;
    }
    std::printf("(%d hostile queries, half to a sink dripping a byte every %lu ms, half to one that never answers;\n"
                " the slow engine answers every option read after %lu ms)\n",
                hostile, static_cast<unsigned long>(StallingSinks::DripIntervalMs), static_cast<unsigned long>(SlowEngineMs));
    return code;
}
