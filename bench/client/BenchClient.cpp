// The "RequestSBSetting" round trip as a user interface sees it: from a UI
// process, through the plug-in (its worker, ten engine reads and a reply over a
// fresh connection) and back, against the bare messaging library's query round
// trip with an echo service in the same host process. Prints one table row per
// case with the median and the 99th percentile.
//
// The host process (no arguments) starts the echo sink and a client from
// RUXUI.dll, then runs this program again as the UI (--ui N), which measures.
#include "bench/common/BenchArguments.h"
#include "bench/common/BenchTiming.h"
#include "base/UniqueHandle.h"
#include "contracts/OLVRuxUIPlugin.h"
#include "contracts/RuxApi.h"
#include "contracts/VtApi.h"
#include "contracts/RuxExtensions.h"
#include "plugin/SettingNameTable.h"
#include "tools/ruxhost/PluginHost.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char* EchoSink = "OlvBenchEcho";
constexpr const char* ReplySink = "OlvBenchUi";
constexpr const char* ReplyService = "Answers";
constexpr int DefaultIterations = 2000;
constexpr int Warmup = 100;

void PrintUsage()
{
    std::printf(
        "usage: bench_client [--iterations N]\n"
        "  Measures the \"RequestSBSetting\" round trip from a UI process through the\n"
        "  plug-in (RUXUI.dll beside this program) and back, against the bare query\n"
        "  round trip of the messaging library. Needs the sink names \"SB\", \"%s\"\n"
        "  and \"%s\" free. Prints a table: median (p50) and p99 in microseconds.\n"
        "  --iterations N  round trips per case (default %d, at least 100)\n"
        "  --help          show this text\n",
        EchoSink, ReplySink, DefaultIterations);
}

// A sink of this process with one service, whose queue is popped; stopped and
// its events closed when it goes.
class BenchSink {
public:
    BenchSink() = default;
    ~BenchSink()
    {
        RuxStopService(service);
        RuxStopSink(sink);
    }
    BenchSink(const BenchSink&) = delete;
    BenchSink& operator=(const BenchSink&) = delete;

    bool Start(const char* sinkName, const char* serviceName)
    {
        sink = RuxStartSink(sinkName, sinkEvent.get());
        service = sink ? RuxStartService(sink, serviceName, serviceEvent.get()) : nullptr;
        return service != nullptr;
    }

    UniqueEvent sinkEvent{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    UniqueEvent serviceEvent{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    RuxSink sink = nullptr;
    RuxService service = nullptr;
};

// ---- the host side ------------------------------------------------------------

// Answers every query of its service at once: the floor of a query round trip.
// With perReply, each answer opens its own connection, as the plug-in's does.
class EchoService {
public:
    bool Start()
    {
        if (!echo.Start(EchoSink, "SB"))
            return false;
        thread = std::thread([this] { Serve(); });
        return true;
    }
    ~EchoService()
    {
        stopping = true;
        SetEvent(echo.serviceEvent.get());
        if (thread.joinable())
            thread.join();
    }

private:
    void Serve()
    {
        RuxConnection lasting = nullptr;
        RuxService lastingService = nullptr;
        while (!stopping) {
            WaitForSingleObject(echo.serviceEvent.get(), INFINITE);
            RuxItem call = nullptr;
            while (RuxPopCall(echo.service, &call) == RuxResult_Query) {
                RuxItem proc = nullptr;
                RuxItem cookie = nullptr;
                RuxItem arg = nullptr;
                RuxGetAssoc(call, "proc", &proc);
                RuxGetAssoc(call, "cookie", &cookie);
                RuxGetAssoc(call, "arg", &arg);
                int32_t perReply = 0;
                RuxGetInt(arg, &perReply);
                RuxItem result = RuxBuildItem("{s:b}", "EnableAutoUpdate", 1);
                if (perReply) {
                    if (RuxConnection connection = RuxOpenConnection(ReplySink)) {
                        if (RuxService reply = RuxOpenService(connection, ReplyService)) {
                            RuxReply(reply, 0, proc, cookie, result);
                            RuxCloseService(reply);
                        }
                        RuxCloseConnection(connection);
                    }
                } else {
                    if (!lasting) {
                        lasting = RuxOpenConnection(ReplySink);
                        lastingService = lasting ? RuxOpenService(lasting, ReplyService) : nullptr;
                    }
                    RuxReply(lastingService, 0, proc, cookie, result);
                }
                RuxReleaseItem(result);
                RuxReleaseItem(arg);
            }
        }
        if (lastingService)
            RuxCloseService(lastingService);
        RuxCloseConnection(lasting);
    }

    BenchSink echo;
    std::thread thread;
    std::atomic<bool> stopping{false};
};

// The UI process against a started client, which is destroyed and unloaded
// afterwards: the UI's exit code.
DWORD RunUiProcess(PluginHost& plugin, int iterations)
{
    plugin.StartWorker();
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(self) + L"\" --ui " + std::to_wstring(iterations);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION ui{};
    DWORD code = 1;
    if (CreateProcessW(self, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &ui)) {
        CloseHandle(ui.hThread);
        // The UI measures and prints; a UI that hangs is ended after ten minutes.
        if (WaitForSingleObject(ui.hProcess, 600000) == WAIT_OBJECT_0)
            GetExitCodeProcess(ui.hProcess, &code);
        else
            TerminateProcess(ui.hProcess, 1);
        CloseHandle(ui.hProcess);
    } else {
        std::fprintf(stderr, "bench_client: cannot start the UI process (error %lu)\n", GetLastError());
    }
    plugin.Destroy();
    bool stillMapped = false;
    plugin.Unload(stillMapped);
    return code;
}

int RunHost(int iterations)
{
    RuxInit();
    DWORD code = 1;
    {
        EchoService echo;
        PluginHost plugin(L"RUXUI.dll");
        DWORD error = ERROR_SUCCESS;
        if (!echo.Start())
            std::fprintf(stderr, "bench_client: cannot start the echo sink \"%s\" (in use?)\n", EchoSink);
        else if (!plugin.NewClient(error))
            std::fprintf(stderr, "bench_client: cannot load RUXUI.dll or create a client (error %lu)\n", error);
        else
            code = RunUiProcess(plugin, iterations);
    }
    RuxExit();
    return static_cast<int>(code);
}

// ---- the UI side --------------------------------------------------------------

struct Percentiles {
    double p50 = 0;
    double p99 = 0;
    int lost = 0;
};

class UiMeasure {
public:
    bool Start() { return replies.Start(ReplySink, ReplyService); }

    // One query after another on a lasting connection to `target`, each timed
    // from the send to the popped reply.
    Percentiles Run(const char* target, const char* proc, int32_t arg, int iterations, const char* label)
    {
        Percentiles result;
        RuxConnection connection = RuxOpenConnection(target);
        RuxService to = connection ? RuxOpenService(connection, "SB") : nullptr;
        if (!to) {
            std::fprintf(stderr, "bench_client: cannot reach sink \"%s\"\n", target);
            RuxCloseConnection(connection);
            result.lost = iterations;
            return result;
        }
        RuxItem procItem = RuxBuildItem("s", proc);
        RuxItem cookie = RuxBuildItem("s", "bench");
        std::vector<double> samples;
        samples.reserve(static_cast<size_t>(iterations));
        for (int i = 0; i < Warmup + iterations; ++i) {
            if (i == Warmup || (i > Warmup && (i - Warmup) % (iterations / 4) == 0))
                std::fprintf(stderr, "  %s: %d/%d\n", label, i - Warmup, iterations);
            RuxItem argItem = RuxBuildItem("i", arg);
            const double sent = Now();
            bool ok = RuxQuery(to, 0, procItem, argItem, cookie, ReplySink, ReplyService) != 0 && AwaitReply();
            const double back = Now();
            RuxReleaseItem(argItem);
            if (!ok) {
                ++result.lost;
                continue;
            }
            if (i >= Warmup)
                samples.push_back((back - sent) * 1e6);
        }
        RuxReleaseItem(procItem);
        RuxReleaseItem(cookie);
        RuxCloseService(to);
        RuxCloseConnection(connection);
        if (!samples.empty()) {
            result.p50 = Median(samples);
            result.p99 = Percentile(samples, 0.99);
        }
        return result;
    }

private:
    bool AwaitReply()
    {
        for (;;) {
            RuxItem item = nullptr;
            int32_t kind = RuxPopCall(replies.service, &item);
            if (kind == RuxResult_Reply)
                return true;
            if (kind != RuxResult_Empty)
                continue;
            if (WaitForSingleObject(replies.serviceEvent.get(), 5000) != WAIT_OBJECT_0)
                return false;
        }
    }

    BenchSink replies;
};

int RunUi(int iterations)
{
    RuxInit();
    int code = 0;
    {
        UiMeasure ui;
        if (!ui.Start()) {
            std::fprintf(stderr, "bench_client: cannot start the UI sink \"%s\" (in use?)\n", ReplySink);
            code = 1;
        } else {
            struct Case {
                const char* name;
                const char* sink;
                const char* proc;
                int32_t arg;
            } cases[] = {
                {"bare query, lasting reply connection", EchoSink, "Echo", 0},
                {"bare query, reply connection per answer", EchoSink, "Echo", 1},
                {"RequestSBSetting through the plug-in", "SB", "RequestSBSetting", 0},
            };
            std::printf("%-42s %10s %10s %8s %6s\n", "round trip (UI process and back)", "p50 us", "p99 us", "ratio",
                        "lost");
            double floor = 0;
            double settingsP50 = 0;
            for (const Case& c : cases) {
                Percentiles p = ui.Run(c.sink, c.proc, c.arg, iterations, c.name);
                if (floor == 0)
                    floor = p.p50;
                settingsP50 = p.p50;  // the last case's
                std::printf("%-42s %10.1f %10.1f %8.2f %6d\n", c.name, p.p50, p.p99, floor > 0 ? p.p50 / floor : 0.0,
                            p.lost);
                std::fflush(stdout);
                if (p.lost)
                    code = 1;
            }
            // The plug-in's own share: the ten option reads of one settings reply,
            // made here against the same simulated engine in the same order.
            std::vector<double> reads;
            reads.reserve(static_cast<size_t>(iterations));
            for (int i = 0; i < iterations; ++i) {
                const double from = Now();
                for (size_t s = FeatureSettingCount; s-- > 0;)
                    VtApi_GetConfigOption(FeatureSettings[s].optionId);
                reads.push_back((Now() - from) * 1e6);
            }
            double readsP50 = Median(reads);
            std::printf("%-42s %10.1f %10.1f %8.2f %6d\n", "(ten engine option reads, in-process)", readsP50,
                        Percentile(reads, 0.99), floor > 0 ? readsP50 / floor : 0.0, 0);
            // What the messaging and the plug-in add to the engine's own time.
            double shareP50 = settingsP50 - readsP50;
            std::printf("%-42s %10.1f %10s %8.2f %6s\n", "RequestSBSetting less the ten reads", shareP50, "-",
                        floor > 0 ? shareP50 / floor : 0.0, "-");
            std::printf("(%d round trips per case after %d warm-up; ratio = p50 / bare p50)\n", iterations, Warmup);
        }
    }
    RuxExit();
    return code;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    int iterations = DefaultIterations;
    int uiIterations = 0;  // the UI process this program starts: --ui N
    BenchArguments arguments("bench_client", &PrintUsage);
    arguments.Count("--iterations", iterations, 100, 1000000).Count("--ui", uiIterations, 100, 1000000);
    if (std::optional<int> exit = arguments.Read(argc, argv))
        return *exit;
    const bool ui = uiIterations != 0;
    if (ui)
        iterations = uiIterations;
    return ui ? RunUi(iterations) : RunHost(iterations);
}
