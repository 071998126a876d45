// bench_vtapi: what one engine call costs, for each call of the engine API.
// The plug-in makes these calls with its client lock held, so their cost is
// the time a host thread may wait. Prints a table; changes nothing lasting:
// the option it writes and the message count it resets are put back.
#include "bench/common/BenchArguments.h"
#include "bench/common/BenchTiming.h"
#include "contracts/VtApi.h"
#include "vtapi/EngineState.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr char UsageText[] =
    "usage: bench_vtapi [--iterations N]\n"
    "Times each engine API call (N calls each, default 2000, from 10 to 1000000)\n"
    "and prints median, p99 and maximum in microseconds.\n";

struct Row {
    const char* name;
    std::function<int32_t()> call;
};

}  // namespace

int main(int argc, char** argv)
{
    int iterations = 2000;
    BenchArguments arguments("bench_vtapi", UsageText);
    arguments.Count("--iterations", iterations, 10, 1000000);
    if (std::optional<int> exit = arguments.Read(argc, argv))
        return *exit;

    EngineState state;
    int32_t option1 = 0;
    uint32_t messages = 0;
    if (state.GetOption(1, option1) != ERROR_SUCCESS || state.GetMessages(messages) != ERROR_SUCCESS) {
        std::fprintf(stderr, "bench_vtapi: cannot read the engine state\n");
        return 1;
    }
    if (!VtApi_SetActiveSession(WTSGetActiveConsoleSessionId())) {
        std::fprintf(stderr, "bench_vtapi: VtApi_SetActiveSession failed (error %lu)\n", GetLastError());
        return 1;
    }

    auto info = std::make_unique<VtVersionInfo>();
    const std::vector<Row> rows = {
        {"VtApi_SetActiveSession", [] { return VtApi_SetActiveSession(WTSGetActiveConsoleSessionId()); }},
        {"VtApi_IsVantorStarted", [] { return VtApi_IsVantorStarted() | 1; }},
        {"VtApi_GetConfigOption", [] { return VtApi_GetConfigOption(2) | 1; }},
        {"VtApi_SetConfigOption", [option1] { return VtApi_SetConfigOption(1, option1); }},
        {"VtApi_NotifySettingsChange", [] { return VtApi_NotifySettingsChange(); }},
        {"VtApi_ResetMessages", [] { return VtApi_ResetMessages(); }},
        {"VtApi_GetStatistics",
         [] {
             VtStatisticsRecord record = {};
             record.size = 44;
             record.version = 1;
             return VtApi_GetStatistics(&record);
         }},
        {"VtApi_Query_VersionInfo",
         [&info] {
             std::memset(info.get(), 0, sizeof(VtVersionInfo));
             info->count = VtVersionInfoCapacity;
             return VtApi_Query_VersionInfo(info.get());
         }},
    };

    std::printf("%-28s %10s %10s %10s   (%d calls each, microseconds)\n", "call", "median", "p99", "max", iterations);
    int status = 0;
    for (const Row& row : rows) {
        std::vector<double> times(static_cast<std::size_t>(iterations));
        for (int i = 0; i < iterations; ++i) {
            const double start = Now();
            int32_t result = row.call();
            const double end = Now();
            if (result == 0) {
                std::fprintf(stderr, "bench_vtapi: %s failed (error %lu)\n", row.name, GetLastError());
                status = 1;
                break;
            }
            times[static_cast<std::size_t>(i)] = (end - start) * 1e6;
        }
        std::printf("%-28s %10.1f %10.1f %10.1f\n", row.name, Median(times), Percentile(times, 0.99),
                    Percentile(times, 1));
        std::fflush(stdout);
    }
    state.SetMessages(messages);
    return status;
}
