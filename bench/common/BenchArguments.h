// The command line every benchmark takes: "--help" (also "-h" and "/?"),
// counts ("--rounds N", within bounds) and switches ("--quick"). A program
// names what it takes, then reads its arguments:
//
//   BenchArguments arguments("bench_format", UsageText);
//   arguments.Count("--rounds", rounds).Count("--iterations", iterations);
//   if (std::optional<int> exit = arguments.Read(argc, argv))
//       return *exit;
//
// Read gives nothing when the benchmark is to run; 0 once it has printed the
// usage for "--help"; 2 once it has printed one line on standard error for an
// unknown argument, or a count without its number or outside its bounds.
#pragma once

#include <climits>
#include <optional>
#include <string>
#include <vector>

class BenchArguments {
public:
    // The usage as a text, or as a function that prints it.
    BenchArguments(const char* program, const char* usageText);
    BenchArguments(const char* program, void (*usage)());

    BenchArguments& Count(const char* name, int& value, int lowest = 1, int highest = INT_MAX);
    BenchArguments& Switch(const char* name, bool& value);

    std::optional<int> Read(int argc, char** argv) const;
    // Arguments are option names and numbers: wide ones are read as ASCII.
    std::optional<int> Read(int argc, wchar_t** argv) const;

private:
    struct CountOption {
        const char* name;
        int* value;
        int lowest;
        int highest;
    };
    struct SwitchOption {
        const char* name;
        bool* value;
    };

    std::optional<int> Read(const std::vector<std::string>& arguments) const;

    const char* program;
    const char* usageText = nullptr;
    void (*usage)() = nullptr;
    std::vector<CountOption> counts;
    std::vector<SwitchOption> switches;
};
