#include "tools/olvlog/OlvlogOptions.h"

namespace {

int DigitValue(wchar_t c, int base)
{
    int value = -1;
    if (c >= L'0' && c <= L'9')
        value = c - L'0';
    else if (c >= L'a' && c <= L'f')
        value = c - L'a' + 10;
    else if (c >= L'A' && c <= L'F')
        value = c - L'A' + 10;
    return value < base ? value : -1;
}

}  // namespace

std::optional<uint32_t> ParseFilterNumber(const std::wstring& text)
{
    const bool hex = text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X');
    const int base = hex ? 16 : 10;
    const size_t start = hex ? 2 : 0;
    if (text.size() <= start)
        return std::nullopt;
    uint64_t value = 0;
    for (size_t i = start; i < text.size(); ++i) {
        const int digit = DigitValue(text[i], base);
        if (digit < 0)
            return std::nullopt;
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
        if (value > 0xFFFFFFFFu)
            return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

std::wstring ParseOlvlogOptions(const std::vector<std::wstring>& arguments, OlvlogOptions* options)
{
    const std::wstring seeHelp = L" (usage: olvlog [OPTIONS] FILE...; see olvlog --help)";
    bool optionsEnd = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::wstring& argument = arguments[i];
        if (optionsEnd || argument.empty() || argument[0] != L'-' || argument == L"-") {
            options->files.push_back(argument);
            continue;
        }
        if (argument == L"--") {
            optionsEnd = true;
            continue;
        }
        if (argument == L"--help" || argument == L"-h") {
            options->help = true;
            continue;
        }
        bool* flag = argument == L"--version"  ? &options->version
                     : argument == L"--follow" ? &options->follow
                     : argument == L"--json"   ? &options->json
                                               : nullptr;
        if (flag != nullptr) {
            *flag = true;
            continue;
        }
        if (argument == L"--no-old") {
            options->withOld = false;
            continue;
        }
        const bool takesValue = argument == L"--key" || argument == L"--grep" || argument == L"--level" ||
                                argument == L"--pid" || argument == L"--tid";
        if (!takesValue)
            return L"unknown option '" + argument + L"'" + seeHelp;
        if (i + 1 >= arguments.size())
            return argument + L" needs a value" + seeHelp;
        const std::wstring& value = arguments[++i];
        if (argument == L"--key" || argument == L"--grep") {
            std::wstring& text = argument == L"--key" ? options->keyPath : options->grep;
            if (!text.empty())
                return argument + L" is given twice";
            if (value.empty())
                return argument + L" needs a value that is not empty";
            text = value;
            continue;
        }
        std::optional<uint32_t>& number = argument == L"--level" ? options->level
                                          : argument == L"--pid" ? options->pid
                                                                 : options->tid;
        if (number)
            return argument + L" is given twice";
        number = ParseFilterNumber(value);
        if (!number)
            return argument + L" " + value +
                   L": not a number; give decimal digits, or 0x and the hexadecimal digits the prefix shows (0x1a4)";
    }
    if (options->files.empty() && !options->help && !options->version)
        return L"no log file given" + seeHelp;
    return L"";
}
