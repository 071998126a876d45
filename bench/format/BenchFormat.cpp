// FormatString against a bare Microsoft formatter call into a stack buffer, for
// the two texts the plug-in formats most: the service name and a log-sized
// wide line. Prints one table row per case: medians of several rounds.
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/common/BenchArguments.h"
#include "bench/common/BenchTiming.h"
#include "runtime/FormatString.h"

namespace {

constexpr char UsageText[] =
    "usage: bench_format [--rounds N] [--iterations N]\n"
    "  Times FormatString against a bare _snprintf/_snwprintf into a stack buffer\n"
    "  and prints nanoseconds per call (medians of N alternating rounds) and their ratio.\n"
    "  Defaults: 21 rounds of 50000 calls of each.\n";

constexpr const wchar_t* LineFormat = L"RuxUIClient::WorkerProc: session %d, sink %s, state %08x, waited %u ms";
constexpr const wchar_t* SinkName = L"QClient(1)";

volatile std::size_t Sink;

struct Timing {
    double engine;  // median ns per call
    double bare;
    double ratio;   // median of the rounds' ratios
};

template <typename Body>
double NsPerCall(int iterations, Body& body)
{
    double start = Now();
    for (int i = 0; i < iterations; ++i)
        body(i);
    return (Now() - start) * 1e9 / iterations;
}

// The two bodies run in alternate rounds, so that a neighbour's load on the
// machine falls on both alike; the ratio is taken per round.
template <typename Engine, typename Bare>
Timing Compare(int rounds, int iterations, Engine engine, Bare bare)
{
    std::vector<double> engineNs, bareNs, ratios;
    for (int r = 0; r < rounds; ++r) {
        engineNs.push_back(NsPerCall(iterations, engine));
        bareNs.push_back(NsPerCall(iterations, bare));
        ratios.push_back(engineNs.back() / bareNs.back());
    }
    return {Median(engineNs), Median(bareNs), Median(ratios)};
}

void PrintRow(const char* name, const Timing& t)
{
    printf("%-28s %12.1f %12.1f %8.2f\n", name, t.engine, t.bare, t.ratio);
    fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    int rounds = 21, iterations = 50000;
    BenchArguments arguments("bench_format", UsageText);
    arguments.Count("--rounds", rounds).Count("--iterations", iterations);
    if (std::optional<int> exit = arguments.Read(argc, argv))
        return *exit;

    std::wstring line = FormatString(LineFormat, 1, SinkName, 0x1234u, 10000u);
    printf("wide line: %zu characters\n\n", line.size());
    printf("%-28s %12s %12s %8s\n", "case", "engine ns", "bare ns", "ratio");
    fflush(stdout);

    auto bareService = [](int i) {
        char buffer[256];
        Sink = Sink + static_cast<std::size_t>(_snprintf(buffer, 255, "QClient(%d)", i & 7));
    };
    auto bareLine = [](int i) {
        wchar_t buffer[256];
        Sink = Sink + static_cast<std::size_t>(_snwprintf(buffer, 255, LineFormat, i & 7, SinkName, 0x1234u, 10000u));
    };
    PrintRow("narrow \"QClient(%d)\"",
             Compare(rounds, iterations, [](int i) { Sink = Sink + FormatString("QClient(%d)", i & 7).size(); },
                     bareService));
    PrintRow("wide line", Compare(rounds, iterations, [](int i) {
        Sink = Sink + FormatString(LineFormat, i & 7, SinkName, 0x1234u, 10000u).size();
    }, bareLine));
    // The floor for any function that returns the text as a new string: the
    // bare call plus the result's allocation, copy and free.
    PrintRow("wide line, bare + wstring", Compare(rounds, iterations, [](int i) {
        wchar_t buffer[256];
        int written = _snwprintf(buffer, 255, LineFormat, i & 7, SinkName, 0x1234u, 10000u);
        Sink = Sink + std::wstring(buffer, static_cast<std::size_t>(written)).size();
    }, bareLine));
    // Positional mode, for information: the same line with its arguments named.
    PrintRow("wide line, positional", Compare(rounds, iterations, [](int i) {
        Sink = Sink + FormatString(L"RuxUIClient::WorkerProc: session %1d, sink %2s, state %308x, waited %4u ms",
                                   i & 7, SinkName, 0x1234u, 10000u).size();
    }, bareLine));
    return 0;
}
