// olvlog: prints the lines of a log file.
//
//   olvlog [--help] FILE
//
// Plain files ("OLVLOG.0") are printed line by line as UTF-8: the text with
// every U+0000 unit dropped, one line per CR LF. Encrypted files ("OLVLOG.1")
// need the private key, which this tool does not have. A damaged file prints
// the lines before the damage, then a message on stderr.
//
// Exit codes: 0 whole plain file, 1 usage, 2 cannot read, 3 damaged or not a
// log file, 4 encrypted.
#include "log/LogFileReader.h"

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
          L"usage: olvlog [--help] FILE\n"
          L"Prints the lines of a log file (text with U+0000 units dropped, one line per CR LF).\n"
          L"Plain files (OLVLOG.0) are printed; encrypted files (OLVLOG.1) need the private key.\n"
          L"Exit codes: 0 whole plain file, 1 usage, 2 cannot read, 3 damaged or not a log file,\n"
          L"4 encrypted.\n");
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 2 && (std::wcscmp(argv[1], L"--help") == 0 || std::wcscmp(argv[1], L"-h") == 0)) {
        Usage(stdout);
        return ExitOk;
    }
    if (argc != 2 || argv[1][0] == L'-') {
        Usage(stderr);
        return ExitUsage;
    }

    LogFileContents contents;
    try {
        contents = LogFileReader::Read(argv[1]);
    } catch (const std::bad_alloc&) {
        Write(stderr, L"olvlog: out of memory\n");
        return ExitUnreadable;
    }
    const std::wstring name = argv[1];
    switch (contents.format) {
    case LogFileFormat::Unknown:
        Write(stderr, L"olvlog: " + name + L": " + contents.problem + L"\n");
        return contents.problem.rfind(L"cannot", 0) == 0 ? ExitUnreadable : ExitDamaged;
    case LogFileFormat::Encrypted:
        Write(stderr, L"olvlog: " + name + L": encrypted log (OLVLOG.1); reading it needs the private key" +
                          (contents.problem.empty() ? L"" : L"; also " + contents.problem) + L"\n");
        return contents.problem.empty() ? ExitEncrypted : ExitDamaged;
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
