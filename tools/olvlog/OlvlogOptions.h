// The command line of olvlog: options and the log files to read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct OlvlogOptions {
    std::vector<std::wstring> files;  // in the order given
    std::wstring keyPath;             // empty: no --key
    bool withOld = true;              // read FILE.old before FILE
    bool follow = false;
    bool json = false;
    bool help = false;
    bool version = false;
    std::optional<uint32_t> level;  // at least this level
    std::optional<uint32_t> pid;
    std::optional<uint32_t> tid;
    std::wstring grep;  // empty: no --grep
};

// Fills *options from the arguments after the program name. Returns an empty
// text, or the one-line reason the command line is refused (without "olvlog: ").
std::wstring ParseOlvlogOptions(const std::vector<std::wstring>& arguments, OlvlogOptions* options);

// A number as the filters take it: decimal digits, or "0x" and hexadecimal
// digits (the prefix "[tick:pid:tid:level]" shows them in hexadecimal without
// the 0x; digits alone are always decimal, so no value is read two ways).
std::optional<uint32_t> ParseFilterNumber(const std::wstring& text);
