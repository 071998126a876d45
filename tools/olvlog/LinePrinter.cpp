#include "tools/olvlog/LinePrinter.h"

#include "runtime/CodePageConverter.h"
#include "tools/olvlog/JsonLine.h"

#include <windows.h>

#include <cstdio>

namespace {

constexpr size_t WriteAtBytes = 64 * 1024;

// Lower case, the same whatever the user's locale, for --grep.
std::wstring Folded(const std::wstring& text)
{
    if (text.empty())
        return text;
    std::wstring folded(text.size(), L'\0');
    const int units = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_LOWERCASE, text.data(), static_cast<int>(text.size()),
                                    folded.data(), static_cast<int>(folded.size()), nullptr, nullptr, 0);
    if (units <= 0)
        return text;
    folded.resize(static_cast<size_t>(units));
    return folded;
}

}  // namespace

LinePrinter::LinePrinter(const OlvlogOptions& options) : options(options), grepFolded(Folded(options.grep)) {}

bool LinePrinter::Matches(const LogLinePrefix* prefix, const std::wstring& message) const
{
    if (options.level || options.pid || options.tid) {
        if (prefix == nullptr)
            return false;
        if (options.level && prefix->level < *options.level)
            return false;
        if (options.pid && prefix->pid != *options.pid)
            return false;
        if (options.tid && prefix->tid != *options.tid)
            return false;
    }
    return grepFolded.empty() || Folded(message).find(grepFolded) != std::wstring::npos;
}

void LinePrinter::PrintLine(const std::wstring& line)
{
    LogLinePrefix prefix;
    const size_t prefixUnits = ParseLogLinePrefix(line, &prefix);
    if (prefixUnits != 0) {
        last = prefix;
        havePrefix = true;
    }
    Print(havePrefix ? &last : nullptr, line, prefixUnits);
}

void LinePrinter::PrintKeyErrorRecord(const std::wstring& record)
{
    Print(nullptr, record, 0);
}

void LinePrinter::Print(const LogLinePrefix* prefix, const std::wstring& line, size_t messageStart)
{
    const std::wstring message = line.substr(messageStart);
    if (!Matches(prefix, message))
        return;
    if (options.json)
        pending += JsonLine(prefix, message);
    else
        pending += WideToUtf8(line);
    pending.push_back('\n');
    if (pending.size() >= WriteAtBytes)
        Flush();
}

bool LinePrinter::Flush()
{
    if (!broken && !pending.empty())
        broken = std::fwrite(pending.data(), 1, pending.size(), stdout) != pending.size();
    pending.clear();
    if (!broken)
        broken = std::fflush(stdout) != 0;
    return !broken;
}
