// One log file read as it grows: the bytes that reach it are decoded as they
// come, and the file can be told apart from another that takes its name.
#pragma once

#include "log/reader/LogFileReader.h"
#include "log/reader/LogRecordDecoder.h"

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

// Which file a handle refers to, whatever its name is now.
struct FileIdentity {
    DWORD volume = 0;
    uint64_t index = 0;
    bool operator==(const FileIdentity&) const = default;
};

// Opens a file for reading while writers append to it and rotation renames it
// (every sharing mode). INVALID_HANDLE_VALUE on failure, with the last error set.
HANDLE OpenLogForReading(const std::wstring& path);

// False when the handle's identity cannot be queried.
bool IdentifyFile(HANDLE file, FileIdentity* identity);

class LogFileSource {
public:
    LogFileSource(std::wstring name, const LogFileKey* key);
    ~LogFileSource();
    LogFileSource(const LogFileSource&) = delete;
    LogFileSource& operator=(const LogFileSource&) = delete;

    // Opens the file by its name; false with the Windows error in *error.
    bool Open(DWORD* error);
    // Takes an open handle over (the file now under the name), to be read from
    // its start.
    void Adopt(HANDLE file);

    // Reads and decodes the next part of the file into found. Returns the bytes
    // read: 0 at the end of what the file holds now, or on a read error (*error
    // set, else 0).
    size_t ReadPart(DWORD* error);

    // The file ends: what is cut off is reported into found.
    void Finish() { decoder->Finish(found); }

    // Starts again from the first byte (the file was cut shorter in place).
    void Restart();

    // Whether the header let the file be read (see LogRecordDecoder::Readable).
    bool Readable() const noexcept { return decoder->Readable(); }
    uint64_t BytesSeen() const noexcept { return decoder->BytesSeen(); }
    // The size of the file now, or ~0 when it cannot be queried.
    uint64_t CurrentSize() const;
    const FileIdentity& Identity() const noexcept { return identity; }
    const std::wstring& Name() const noexcept { return name; }

    // What was decoded and not yet taken: the caller prints and then clears
    // lines and damage.
    LogFileContents found;
    bool verdictGiven = false;    // the header's problem (if any) was reported
    bool keyRecordTaken = false;  // keyInitError was printed

private:
    std::wstring name;
    const LogFileKey* key;
    HANDLE file = INVALID_HANDLE_VALUE;
    FileIdentity identity;
    std::unique_ptr<LogRecordDecoder> decoder;
    std::vector<unsigned char> part;
};
