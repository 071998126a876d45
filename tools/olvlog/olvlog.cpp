// olvlog: prints, filters and follows the lines of log files. See Usage().
//
// Exit codes: 0 every file whole, 1 usage, 2 cannot read a file or the key
// file, 3 damaged or not a log file, 4 encrypted and no --key, 5 the key does
// not match the file. With several files, the code of the first problem met.
#include "log/reader/LogPrivateKey.h"
#include "log/crypto/StreamKey.h"
#include "runtime/CodePageConverter.h"
#include "tools/olvlog/LinePrinter.h"
#include "tools/olvlog/LogFileSource.h"
#include "tools/olvlog/OlvlogOptions.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

namespace {

// Exit codes, as the header above and --help say.
enum OlvlogExit : int { ExitOk, ExitUsage, ExitUnreadable, ExitDamaged, ExitEncrypted, ExitWrongKey };

// How long --follow waits between two looks at its files.
constexpr DWORD FollowPollMs = 200;

void Write(FILE* stream, const std::wstring& text)
{
    std::string utf8 = WideToUtf8(text);
    std::fwrite(utf8.data(), 1, utf8.size(), stream);
}

void Usage(FILE* stream)
{
    Write(stream,
          L"usage: olvlog [OPTIONS] FILE...\n"
          L"Prints the lines of log files as UTF-8. For a live log FILE it reads the rotation\n"
          L"pair: FILE.old (when there is one), then FILE. Several files are read in the order given.\n"
          L"\n"
          L"  --key KEYFILE  the private key file that opens encrypted logs (OLVLOG.1)\n"
          L"                   olvlog --key keys/olvlog-dev-private.key trace.log\n"
          L"  --no-old       read FILE alone, without FILE.old before it\n"
          L"                   olvlog --no-old trace.log\n"
          L"  --level N      only lines of level N or above (1 trace, 2 information, 3 error,\n"
          L"                 4 important, 5 fatal)\n"
          L"                   olvlog --level 3 trace.log\n"
          L"  --pid N        only lines of process N\n"
          L"  --tid N        only lines of thread N. Numbers are decimal (420), or hexadecimal\n"
          L"                 after 0x, as the prefix [tick:pid:tid:level] shows them (0x1a4)\n"
          L"                   olvlog --pid 0x1a4 --tid 0x1b8 trace.log\n"
          L"  --grep TEXT    only lines whose message holds TEXT, in upper or lower case\n"
          L"                   olvlog --grep \"worker\" trace.log\n"
          L"  --follow       after the files, print new lines as they are written, also after\n"
          L"                 the log rotates (a new encrypted file is opened with the same --key),\n"
          L"                 until interrupted (Ctrl+C)\n"
          L"                   olvlog --follow --level 3 trace.log\n"
          L"  --json         one JSON object per line, for scripts:\n"
          L"                 {\"tick\":N,\"pid\":N,\"tid\":N,\"level\":N,\"text\":\"...\"}\n"
          L"                   olvlog --json --grep timeout trace.log\n"
          L"  --version      the version, and the fingerprint of the key this build seals logs\n"
          L"                 with (with --key, also that of the key file)\n"
          L"                   olvlog --version --key keys/olvlog-dev-private.key\n"
          L"  --help         this text\n"
          L"                   olvlog --help\n"
          L"\n"
          L"A further line of a message that held CR LF has no prefix: it is filtered and\n"
          L"numbered with its record. Damage is reported on standard error with its byte\n"
          L"offset, and reading goes on at the next record.\n"
          L"Exit codes: 0 every file whole, 1 usage, 2 cannot read a file or the key file,\n"
          L"3 damaged or not a log file, 4 encrypted and no --key, 5 the key does not match.\n"
          L"With several files, the code of the first problem met.\n");
}

std::wstring Widen(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

std::wstring Hex(int32_t value)
{
    wchar_t text[16];
    _snwprintf(text, 16, L"0x%x", static_cast<unsigned>(value));
    text[15] = L'\0';
    return text;
}

int PrintVersion(const LogPrivateKey* key, const std::wstring& keyPath)
{
    RsaPublicKey builtIn{};
    GetBuiltInLogKey(&builtIn);
    const std::string sealing = LogKeyFingerprint(builtIn);
    std::printf("olvlog %s\n", OLV_PROJECT_VERSION);
    std::printf("built-in log key: %s (MD5 of its modulus and exponent, first 8 bytes)\n", sealing.c_str());
    if (key != nullptr) {
        const std::string fingerprint = key->Fingerprint();
        Write(stdout, L"--key " + keyPath + L": " + Widen(fingerprint) +
                          (fingerprint == sealing ? L" (opens the logs this build writes)\n"
                                                  : L" (another key pair: does not open the logs this build writes)\n"));
    }
    std::fflush(stdout);
    return ExitOk;
}

HANDLE StopEvent = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type)
{
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT)
        return FALSE;
    SetEvent(StopEvent);
    return TRUE;
}

class Reader {
public:
    Reader(const OlvlogOptions& options, const LogPrivateKey* key) : options(options), key(key), printer(options) {}

    int ExitCode() const { return exitCode; }

    // Reads a file whole. A missing file is skipped when it need not exist.
    void ReadWhole(const std::wstring& name, bool mustExist)
    {
        LogFileSource source(name, key);
        DWORD error = 0;
        if (!source.Open(&error)) {
            if (!mustExist && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND))
                return;
            Problem(name, L"cannot open the file (error " + std::to_wstring(error) + L")", ExitUnreadable);
            return;
        }
        printer.StartFile();
        ReadToEnd(source);
        source.Finish();
        Take(source);
    }

    // Reads a live file to its present end and keeps it for Follow. Files that
    // cannot be read on (not a log, no key or the wrong one) are not kept.
    void ReadAndKeep(const std::wstring& name)
    {
        auto source = std::make_unique<LogFileSource>(name, key);
        DWORD error = 0;
        if (!source->Open(&error)) {
            Problem(name, L"cannot open the file (error " + std::to_wstring(error) + L")", ExitUnreadable);
            return;
        }
        printer.StartFile();
        ReadToEnd(*source);
        if (source->Readable())
            followed.push_back(std::move(source));
    }

    // Prints what reaches the kept files until interrupted or until standard
    // output is closed. Each look reads the files to their end, then checks
    // whether the live name now holds a new file (a rotation).
    void Follow()
    {
        if (!printer.Flush())
            return;
        while (!followed.empty() && WaitForSingleObject(StopEvent, FollowPollMs) == WAIT_TIMEOUT) {
            for (std::unique_ptr<LogFileSource>& source : followed) {
                ReadToEnd(*source);
                FollowRotation(source);
            }
            std::fflush(stderr);
            if (!printer.Flush())
                return;
        }
    }

    void Flush() { printer.Flush(); }

private:
    void Problem(const std::wstring& name, const std::wstring& what, int code)
    {
        printer.Flush();
        Write(stderr, L"olvlog: " + name + L": " + what + L"\n");
        if (exitCode == ExitOk)
            exitCode = code;
    }

    void ReadToEnd(LogFileSource& source)
    {
        DWORD error = 0;
        while (source.ReadPart(&error) != 0)
            Take(source);
        Take(source);
        if (error != 0)
            Problem(source.Name(), L"cannot read the file (error " + std::to_wstring(error) + L")", ExitUnreadable);
    }

    // Prints what the source decoded: the header's verdict once, then the
    // lines and the damage found, in file order.
    void Take(LogFileSource& source)
    {
        LogFileContents& found = source.found;
        const bool keyRefused =
            found.keyCheck == LogFileKeyCheck::Missing || found.keyCheck == LogFileKeyCheck::Mismatch;
        const bool headerRefused = found.format == LogFileFormat::Unknown ||
                                   (found.format == LogFileFormat::Encrypted &&
                                    found.keyCheck == LogFileKeyCheck::NotNeeded && !found.problem.empty());
        if (!source.verdictGiven && (keyRefused || (headerRefused && !found.problem.empty()))) {
            source.verdictGiven = true;
            GiveVerdict(source);
        }
        if (keyRefused || headerRefused) {
            found.damage.clear();
            return;
        }
        if (!source.keyRecordTaken && !found.keyInitError.empty()) {
            source.keyRecordTaken = true;
            printer.PrintKeyErrorRecord(found.keyInitError);
        }
        // Lines and damage in file order: each damage goes after the lines
        // found before it.
        size_t printed = 0;
        for (const LogFileDamage& damage : found.damage) {
            for (; printed < damage.linesBefore && printed < found.lines.size(); ++printed)
                printer.PrintLine(found.lines[printed]);
            Problem(source.Name(),
                    L"damaged at byte " + std::to_wstring(damage.offset) + L" (" + std::to_wstring(damage.bytes) +
                        L" bytes): " + damage.what,
                    ExitDamaged);
        }
        for (; printed < found.lines.size(); ++printed)
            printer.PrintLine(found.lines[printed]);
        found.lines.clear();
        found.damage.clear();
    }

    void GiveVerdict(LogFileSource& source)
    {
        const LogFileContents& found = source.found;
        if (found.format == LogFileFormat::Unknown) {
            Problem(source.Name(), found.problem, ExitDamaged);
        } else if (found.keyCheck == LogFileKeyCheck::Missing) {
            Problem(source.Name(), L"encrypted (OLVLOG.1): give --key PRIVATE_KEY_FILE", ExitEncrypted);
        } else if (found.keyCheck == LogFileKeyCheck::Mismatch) {
            const std::wstring why = found.keyError == StreamKeyNotRecognised
                                         ? L"the unsealed block lacks the 0x00 0x02 ... 0x00 layout of a stream key"
                                         : L"its key blob cannot be unsealed with it";
            Problem(source.Name(),
                    L"the key " + options.keyPath + L" (" + Widen(key->Fingerprint()) +
                        L") does not match this file: " + why + L" (" + Hex(found.keyError) + L")",
                    ExitWrongKey);
        } else {
            Problem(source.Name(), L"damaged encrypted header: " + found.problem, ExitDamaged);
        }
    }

    // When the live name holds another file than the one read: the one read is
    // read to its end (writers that had not yet seen the rotation may still
    // have added to it), then the new file is read from its start.
    void FollowRotation(std::unique_ptr<LogFileSource>& source)
    {
        const std::wstring& name = source->Name();
        HANDLE live = OpenLogForReading(name);
        if (live == INVALID_HANDLE_VALUE)
            return;  // between the rename and the new file's creation
        FileIdentity identity;
        if (!IdentifyFile(live, &identity) || identity == source->Identity()) {
            CloseHandle(live);
            if (source->CurrentSize() < source->BytesSeen()) {
                Problem(name, L"the file was cut shorter: reading it again from its start", ExitDamaged);
                source->Restart();
                printer.StartFile();
                ReadToEnd(*source);
            }
            return;
        }
        ReadToEnd(*source);
        source->Finish();
        Take(*source);
        // The file read is "FILE.old" after one rotation. Another file there
        // means more rotations came between two looks: that one is read whole,
        // and any between the two are lost.
        const std::wstring oldName = name + L".old";
        HANDLE old = OpenLogForReading(oldName);
        if (old != INVALID_HANDLE_VALUE) {
            FileIdentity oldIdentity;
            const bool another = IdentifyFile(old, &oldIdentity) && !(oldIdentity == source->Identity());
            CloseHandle(old);
            if (another) {
                Problem(name, L"rotated more than once between two looks: lines may be missing here", ExitOk);
                ReadWhole(oldName, false);
            }
        }
        source = std::make_unique<LogFileSource>(name, key);
        source->Adopt(live);
        printer.StartFile();
        ReadToEnd(*source);
    }

    const OlvlogOptions& options;
    const LogPrivateKey* key;
    LinePrinter printer;
    std::vector<std::unique_ptr<LogFileSource>> followed;
    int exitCode = ExitOk;
};

bool EndsWithOld(const std::wstring& name)
{
    return name.size() >= 4 && _wcsicmp(name.c_str() + name.size() - 4, L".old") == 0;
}

int Run(const OlvlogOptions& options)
{
    LogPrivateKey key;
    if (!options.keyPath.empty()) {
        std::wstring error;
        if (!key.Load(options.keyPath, &error)) {
            Write(stderr, L"olvlog: " + options.keyPath + L": " + error + L"\n");
            return ExitUnreadable;
        }
    }
    const LogPrivateKey* usedKey = options.keyPath.empty() ? nullptr : &key;
    if (options.version)
        return PrintVersion(usedKey, options.keyPath);

    Reader reader(options, usedKey);
    for (const std::wstring& name : options.files) {
        if (options.withOld && !EndsWithOld(name))
            reader.ReadWhole(name + L".old", false);
        if (options.follow)
            reader.ReadAndKeep(name);
        else
            reader.ReadWhole(name, true);
    }
    if (options.follow) {
        StopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (StopEvent != nullptr) {
            SetConsoleCtrlHandler(OnConsoleControl, TRUE);
            reader.Follow();
        }
    }
    reader.Flush();
    return reader.ExitCode();
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    OlvlogOptions options;
    const std::wstring refused = ParseOlvlogOptions(std::vector<std::wstring>(argv + 1, argv + argc), &options);
    if (!refused.empty()) {
        Write(stderr, L"olvlog: " + refused + L"\n");
        return ExitUsage;
    }
    if (options.help) {
        Usage(stdout);
        return ExitOk;
    }
    try {
        return Run(options);
    } catch (const std::bad_alloc&) {
        std::fflush(stdout);
        Write(stderr, L"olvlog: out of memory\n");
        return ExitUnreadable;
    }
}
