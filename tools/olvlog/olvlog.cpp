// olvlog: prints the lines of a log file.
//
//   olvlog [--help] [--key PRIVATE_KEY_FILE] FILE
//
// Plain files ("OLVLOG.0") are printed line by line as UTF-8: the text with
// every U+0000 unit dropped, one line per CR LF. Encrypted files ("OLVLOG.1")
// are decrypted with the private key file given by --key (keys/README.md). A
// damaged file prints the lines before the damage, then a message on stderr.
//
// Exit codes: 0 whole file, 1 usage, 2 cannot read the file or the key file,
// 3 damaged or not a log file, 4 encrypted and no --key, 5 the key does not
// match the file.
#include "log/LogFileReader.h"
#include "log/LogPrivateKey.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

constexpr int ExitOk = 0;
constexpr int ExitUsage = 1;
constexpr int ExitUnreadable = 2;
constexpr int ExitDamaged = 3;
constexpr int ExitEncrypted = 4;
constexpr int ExitWrongKey = 5;

void Write(FILE* stream, const std::wstring& text)
{
    if (text.empty())
        return;
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                    nullptr);
    std::string utf8(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), bytes, nullptr, nullptr);
    std::fwrite(utf8.data(), 1, utf8.size(), stream);
}

void Usage(FILE* stream)
{
    Write(stream,
          L"usage: olvlog [--help] [--key PRIVATE_KEY_FILE] FILE\n"
          L"Prints the lines of a log file (text with U+0000 units dropped, one line per CR LF).\n"
          L"Plain files (OLVLOG.0) are printed as they are; encrypted files (OLVLOG.1) are\n"
          L"decrypted with the private key file given by --key.\n"
          L"Exit codes: 0 whole file, 1 usage, 2 cannot read the file or the key file,\n"
          L"3 damaged or not a log file, 4 encrypted and no --key, 5 the key does not match.\n");
}

std::wstring Hex(int32_t value)
{
    wchar_t text[16];
    _snwprintf(text, 16, L"0x%x", static_cast<unsigned>(value));
    text[15] = L'\0';
    return text;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 2 && (std::wcscmp(argv[1], L"--help") == 0 || std::wcscmp(argv[1], L"-h") == 0)) {
        Usage(stdout);
        return ExitOk;
    }
    const wchar_t* keyPath = nullptr;
    const wchar_t* logPath = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::wcscmp(argv[i], L"--key") == 0 && i + 1 < argc && keyPath == nullptr) {
            keyPath = argv[++i];
        } else if (argv[i][0] != L'-' && logPath == nullptr) {
            logPath = argv[i];
        } else {
            Usage(stderr);
            return ExitUsage;
        }
    }
    if (logPath == nullptr) {
        Usage(stderr);
        return ExitUsage;
    }

    LogPrivateKey key;
    if (keyPath != nullptr) {
        std::wstring error;
        if (!key.Load(keyPath, &error)) {
            Write(stderr, L"olvlog: " + std::wstring(keyPath) + L": " + error + L"\n");
            return ExitUnreadable;
        }
    }

    LogFileContents contents;
    try {
        contents = LogFileReader::Read(logPath, keyPath != nullptr ? &key : nullptr);
    } catch (const std::bad_alloc&) {
        Write(stderr, L"olvlog: out of memory\n");
        return ExitUnreadable;
    }
    const std::wstring name = logPath;
    switch (contents.format) {
    case LogFileFormat::Unknown:
        Write(stderr, L"olvlog: " + name + L": " + contents.problem + L"\n");
        return contents.problem.rfind(L"cannot", 0) == 0 ? ExitUnreadable : ExitDamaged;
    case LogFileFormat::Encrypted:
        if (contents.keyCheck == LogFileKeyCheck::Missing) {
            Write(stderr, L"olvlog: " + name + L": encrypted (OLVLOG.1): give --key PRIVATE_KEY_FILE\n");
            return ExitEncrypted;
        }
        if (contents.keyCheck == LogFileKeyCheck::Mismatch) {
            const std::wstring why = contents.keyError == StreamKeyNotRecognised
                                         ? L"the unsealed block lacks the 0x00 0x02 ... 0x00 layout of a stream key"
                                         : L"its key blob cannot be unsealed with it";
            Write(stderr, L"olvlog: " + name + L": the key " + keyPath + L" does not match this file: " + why +
                              L" (" + Hex(contents.keyError) + L")\n");
            return ExitWrongKey;
        }
        if (contents.keyCheck != LogFileKeyCheck::Opened) {
            Write(stderr, L"olvlog: " + name + L": damaged encrypted header: " + contents.problem + L"\n");
            return ExitDamaged;
        }
        break;
    case LogFileFormat::Plain:
        break;
    }
    if (!contents.keyInitError.empty())
        Write(stdout, contents.keyInitError + L"\n");
    for (const std::wstring& line : contents.lines)
        Write(stdout, line + L"\n");
    std::fflush(stdout);
    if (!contents.problem.empty()) {
        Write(stderr, L"olvlog: " + name + L": damaged: " + contents.problem + L"\n");
        return ExitDamaged;
    }
    return ExitOk;
}
