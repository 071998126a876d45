// Prints the lines of log files on standard output, as text or as JSON lines,
// keeping only those the filters let through.
#pragma once

#include "log/reader/LogRecordDecoder.h"
#include "tools/olvlog/OlvlogOptions.h"

#include <string>

class LinePrinter {
public:
    explicit LinePrinter(const OlvlogOptions& options);

    // A new file starts: its first lines have no record before them.
    void StartFile() { havePrefix = false; }

    // A line as the reader gives it. A line without a prefix is a further line
    // of the record before it (a message that held CR LF): it is filtered, and
    // in JSON numbered, with that record's prefix.
    void PrintLine(const std::wstring& line);

    // The "stream_key_init_error=0x..." record of a plain file: a line with no
    // prefix fields, which the number filters leave out.
    void PrintKeyErrorRecord(const std::wstring& record);

    // Writes out what was printed. False once standard output is closed (its
    // reader went away).
    bool Flush();

private:
    bool Matches(const LogLinePrefix* prefix, const std::wstring& message) const;
    void Print(const LogLinePrefix* prefix, const std::wstring& line, size_t messageStart);

    const OlvlogOptions& options;
    std::wstring grepFolded;
    LogLinePrefix last;
    bool havePrefix = false;
    std::string pending;  // UTF-8 not yet written
    bool broken = false;
};
