// Reads a log file back: its format (by the magic), and for a plain file its
// lines. Used by the log reader tool and by tests that check exact lines.
#pragma once

#include <string>
#include <vector>

enum class LogFileFormat {
    Unknown,    // not readable, or no log magic
    Plain,      // "OLVLOG.0"
    Encrypted,  // "OLVLOG.1": the lines need the private key
};

struct LogFileContents {
    LogFileFormat format = LogFileFormat::Unknown;
    // Empty when the file is whole; otherwise what is wrong with it. Lines before
    // the damage are still given.
    std::wstring problem;
    // Text of the "stream_key_init_error=0x..." record of a new plain file
    // whose key setup failed (without its LF), or empty.
    std::wstring keyInitError;
    // The lines of a plain file: its text with every U+0000 unit dropped, split
    // at CR LF (which is not part of a line).
    std::vector<std::wstring> lines;
};

class LogFileReader {
public:
    // Never throws for a bad file: problems are reported in the result. Only
    // out-of-memory escapes (std::bad_alloc).
    static LogFileContents Read(const std::wstring& path);

    // The lines of a plain log file; empty when it cannot be read or is not plain.
    static std::vector<std::wstring> Lines(const std::wstring& path);

    // Decodes the bytes of a whole file (the same rules as Read).
    static LogFileContents Parse(const std::vector<unsigned char>& bytes);
};
