#include "bench/common/BenchArguments.h"

#include <cstdio>
#include <cstdlib>

BenchArguments::BenchArguments(const char* program, const char* usageText) : program(program), usageText(usageText)
{
}

BenchArguments::BenchArguments(const char* program, void (*usage)()) : program(program), usage(usage) {}

BenchArguments& BenchArguments::Count(const char* name, int& value, int lowest, int highest)
{
    counts.push_back({name, &value, lowest, highest});
    return *this;
}

BenchArguments& BenchArguments::Switch(const char* name, bool& value)
{
    switches.push_back({name, &value});
    return *this;
}

std::optional<int> BenchArguments::Read(int argc, char** argv) const
{
    return Read(std::vector<std::string>(argv + 1, argv + argc));
}

std::optional<int> BenchArguments::Read(int argc, wchar_t** argv) const
{
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        std::string narrow;
        for (const wchar_t* unit = argv[i]; *unit != L'\0'; ++unit)
            narrow.push_back(*unit < 0x80 ? static_cast<char>(*unit) : '?');
        arguments.push_back(narrow);
    }
    return Read(arguments);
}

std::optional<int> BenchArguments::Read(const std::vector<std::string>& arguments) const
{
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--help" || argument == "-h" || argument == "/?") {
            if (usage != nullptr)
                usage();
            else
                std::fputs(usageText, stdout);
            return 0;
        }
        bool known = false;
        for (const SwitchOption& option : switches) {
            if (argument == option.name) {
                *option.value = true;
                known = true;
            }
        }
        for (const CountOption& option : counts) {
            if (argument != option.name)
                continue;
            char* end = nullptr;
            const long value = i + 1 < arguments.size() ? std::strtol(arguments[i + 1].c_str(), &end, 10) : 0;
            if (end == nullptr || end == arguments[i + 1].c_str() || *end != '\0' || value < option.lowest ||
                value > option.highest) {
                std::fprintf(stderr, "%s: %s takes a number from %d to %d\n", program, option.name, option.lowest,
                             option.highest);
                return 2;
            }
            *option.value = static_cast<int>(value);
            known = true;
            ++i;
            break;
        }
        if (!known) {
            std::fprintf(stderr, "%s: unknown argument %s (see --help)\n", program, argument.c_str());
            return 2;
        }
    }
    return std::nullopt;
}
