// What the command-line tools share: their failure line and the numbers
// their arguments give.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// Prints "TOOL: MESSAGE" on standard error at once (a caller that reads both
// streams sees it before what follows) and returns `code`, the exit code.
inline int FailWith(const char* tool, int code, const std::string& message)
{
    std::fprintf(stderr, "%s: %s\n", tool, message.c_str());
    std::fflush(stderr);
    return code;
}

// True with `value` set when `text` is a decimal number from `low` to `high`
// and nothing follows it; a sign of minus, an empty text or a number out of
// range is false (strtoull would turn "-1" into the largest number).
inline bool ParseDecimalArgument(const char* text, uint64_t low, uint64_t high, uint64_t& value)
{
    char* end = nullptr;
    if (!*text || *text == '-')
        return false;
    unsigned long long parsed = std::strtoull(text, &end, 10);
    if (*end || parsed < low || parsed > high)
        return false;
    value = parsed;
    return true;
}
