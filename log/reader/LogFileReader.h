// Reads a log file back: its format (by the magic) and its lines, decrypting an
// encrypted file when given the private key. Used by the log reader tool and by
// tests that check exact lines.
//
// A damaged region does not end the reading: it is reported with its byte
// offset, and the lines after it, from the next record that can be recognised,
// are still given (LogRecordDecoder.h tells how records are recognised).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class LogFileFormat {
    Unknown,    // not readable, or no log magic
    Plain,      // "OLVLOG.0"
    Encrypted,  // "OLVLOG.1": the lines need the private key
};

// What became of the key an encrypted file needs.
enum class LogFileKeyCheck {
    NotNeeded,  // plain (or unreadable) file, or an encrypted header too damaged to try a key
    Missing,    // encrypted, and no key was given: no lines
    Mismatch,   // encrypted, and the key does not unseal the header's blob: no lines
    Opened,     // encrypted and decrypted with the key
};

// The private half that opens encrypted files. The logging library never holds
// one, so no private-key code goes into the plug-in: readers link
// olv_logreader and pass a LogPrivateKey (LogPrivateKey.h).
class LogFileKey {
public:
    virtual ~LogFileKey() = default;
    // Unseals a header's key blob into the 32-byte stream key. Returns 0, or a
    // non-zero code (0x411 when the blob was sealed with another key pair);
    // streamKey is written only on success.
    virtual int32_t UnsealStreamKey(const uint8_t* blob, uint32_t length, uint8_t streamKey[32]) const = 0;
    // Decrypts whole 16-byte blocks in place under a stream key, each block by
    // itself: a block's result never depends on the other blocks of the call
    // or on its place in it, since the decoder decrypts the blocks of a file in
    // whatever groups its parts arrive in.
    virtual void DecryptBlocks(const uint8_t streamKey[32], uint8_t* data, size_t blockCount) const = 0;
};

// One region of a file that holds no readable record.
struct LogFileDamage {
    uint64_t offset = 0;  // of its first byte, from the start of the file
    uint64_t bytes = 0;   // up to the next record recognised, or to the end of the file
    std::wstring what;
    size_t linesBefore = 0;  // its place among the lines: how many were found before it
};

struct LogFileContents {
    LogFileFormat format = LogFileFormat::Unknown;
    LogFileKeyCheck keyCheck = LogFileKeyCheck::NotNeeded;
    // The unseal error when keyCheck is Mismatch.
    int32_t keyError = 0;
    // Empty when the file is whole; otherwise the first thing wrong with it
    // (the text of damage[0], or why the file cannot be read at all).
    std::wstring problem;
    // Every damaged region, in file order. Lines before and after each are
    // still given.
    std::vector<LogFileDamage> damage;
    // Text of the "stream_key_init_error=0x..." record of a new plain file
    // whose key setup failed (without its LF), or empty.
    std::wstring keyInitError;
    // The lines of a plain or decrypted file: each record's text without its
    // U+0000 padding, split at CR LF (which is not part of a line).
    std::vector<std::wstring> lines;
};

class LogFileReader {
public:
    // Never throws for a bad file: problems are reported in the result. Only
    // out-of-memory escapes (std::bad_alloc). Without a key, an encrypted file
    // gives its format and no lines.
    static LogFileContents Read(const std::wstring& path, const LogFileKey* key = nullptr);

    // The lines of a plain log file, or of an encrypted one that `key` opens;
    // empty otherwise.
    static std::vector<std::wstring> Lines(const std::wstring& path, const LogFileKey* key = nullptr);

    // Decodes the bytes of a whole file (the same rules as Read). Defined with
    // LogRecordDecoder, which needs no Windows header.
    static LogFileContents Parse(const std::vector<unsigned char>& bytes, const LogFileKey* key = nullptr);
};
