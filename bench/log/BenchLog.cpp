// bench_log: lines per second of OlvLog_Print for a typical 100-character line,
// writing a plain and an encrypted file, directly and through the writer
// thread, against formatting the same line alone with _snwprintf into a stack
// buffer and against the logger's limit on this platform. Encrypted logs share
// the user's stream key in the registry (it is created if it does not exist
// yet, as any logging process would). Then the time per record of a log past
// its size limit: rotating freely, and blocked by a reader that holds the
// live file without delete sharing (as some editors, backup and scanning
// tools do), so that the file cannot be moved to ".old".
//
//   bench_log [--help] [--lines N] [--records N] [--runs R]
#include "bench/common/BenchArguments.h"
#include "bench/common/BenchTiming.h"
#include "log/OlvLog.h"
#include "log/ProcessLogControl.h"
#include "base/NtApi.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr char UsageText[] =
    "usage: bench_log [--lines N] [--records N] [--runs R]\n"
    "Measures OlvLog_Print (plain and encrypted file, direct and with the writer\n"
    "thread) against formatting the same line with _snwprintf alone and against\n"
    "the limit (ntdll's formatter into 64 KiB batches, one size query and\n"
    "ZwWriteFile each); prints the median of R runs and the ratios. Then the\n"
    "time per record of N error lines past a 64 KiB limit, rotating freely and\n"
    "with the rotation blocked by a reader without delete sharing.\n";

// A line like the plug-in's: 100 characters after the prefix.
constexpr const wchar_t* LineFormat = L"RuxUIClient::WorkerProc: new session id = %d, service=%s, state=%u, pending=%u, %s";
constexpr const wchar_t* ServiceName = L"QClient(1)";
constexpr const wchar_t* Tail = L"sink signalled, status pushed";

volatile int Sink = 0;

// The logger's batch: 69,632 bytes, sent once it holds 64 KiB or more.
constexpr size_t BatchUnits = 0x11000 / sizeof(wchar_t);
constexpr size_t SendBytes = 0x10000;

using SnwprintfProc = int(__cdecl*)(wchar_t* buffer, size_t count, const wchar_t* format, ...);

// The C runtime's _snwprintf, or (ntdll) the one the logger itself formats with.
double FormatOnly(int lines, bool ntdll)
{
    SnwprintfProc format = &_snwprintf;
    if (ntdll)
        format = reinterpret_cast<SnwprintfProc>(
            reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "_snwprintf")));
    const double start = Now();
    for (int i = 0; i < lines; ++i) {
        wchar_t line[1792];
        int units = format(line, 1792, L"[%x:%x:%x:%x] ", static_cast<unsigned>(GetTickCount()),
                           static_cast<unsigned>(GetCurrentProcessId()), static_cast<unsigned>(GetCurrentThreadId()),
                           2u);
        units += format(line + units, 1780 - units, LineFormat, i, ServiceName, 3u, 7u, Tail);
        Sink = Sink + line[units - 1];
    }
    return lines / (Now() - start);
}

// The logger's limit on this platform: the same lines, prefix included,
// formatted with ntdll's _snwprintf (the formatter the logger uses) and
// finished with CR LF and padding straight into a batch buffer; every batch
// of 64 KiB or more is written as the logger's file layer writes it, with one
// size query and one ZwWriteFile. No filter, no lock, no copy, no last-error
// keeping: what a logger of these lines cannot do without.
double LimitLines(const std::wstring& path, int lines)
{
    auto format = reinterpret_cast<SnwprintfProc>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "_snwprintf")));
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (format == nullptr || file == INVALID_HANDLE_VALUE) {
        std::fwprintf(stderr, L"bench_log: cannot set up the limit case on %ls\n", path.c_str());
        return 0;
    }
    std::vector<wchar_t> batch(BatchUnits);
    auto write = [file, &batch](size_t units) {
        struct {
            LARGE_INTEGER allocationSize;
            LARGE_INTEGER endOfFile;
            ULONG numberOfLinks;
            BOOLEAN deletePending;
            BOOLEAN directory;
        } info{};
        IO_STATUS_BLOCK io{};
        ZwQueryInformationFile(file, &io, &info, sizeof(info), OlvFileStandardInformation);
        ZwWriteFile(file, nullptr, nullptr, nullptr, &io, batch.data(), static_cast<ULONG>(units * sizeof(wchar_t)),
                    nullptr, nullptr);
    };
    const double start = Now();
    size_t used = 0;
    for (int i = 0; i < lines; ++i) {
        // A batch below 64 KiB always has room for a whole stack line.
        wchar_t* line = batch.data() + used;
        int prefix = format(line, 1792, L"[%x:%x:%x:%x] ", static_cast<unsigned>(GetTickCount()),
                            static_cast<unsigned>(GetCurrentProcessId()), static_cast<unsigned>(GetCurrentThreadId()),
                            2u);
        int message = format(line + prefix, 1780 - prefix, LineFormat, i, ServiceName, 3u, 7u, Tail);
        size_t units = static_cast<size_t>(prefix) + static_cast<size_t>(message);
        line[units++] = L'\r';
        line[units++] = L'\n';
        while (units % 8 != 0)
            line[units++] = L'\0';
        used += units;
        if (used * sizeof(wchar_t) >= SendBytes) {
            write(used);
            used = 0;
        }
    }
    if (used > 0)
        write(used);
    CloseHandle(file);
    const double seconds = Now() - start;
    DeleteFileW(path.c_str());
    return lines / seconds;
}

// Returns lines per second including the close, which writes the last batch
// and waits for the writer thread to finish.
double LogLines(const std::wstring& path, int lines, bool writerThread, bool encrypted)
{
    SetEnvironmentVariableW(L"OLVLOGFLAGS", encrypted ? L"0" : L"1");
    DeleteFileW(path.c_str());
    DeleteFileW((path + L".old").c_str());
    OlvLogOpenResult result = OlvLog_Open(path.c_str(), 1, 1ull << 40, writerThread);
    if (result != OlvLogOpened) {
        std::fwprintf(stderr, L"bench_log: cannot open %ls: %ls\n", path.c_str(), OlvLog_OpenResultText(result));
        return 0;
    }
    const double start = Now();
    for (int i = 0; i < lines; ++i)
        OlvLog_Print(OlvLogInfo, LineFormat, i, ServiceName, 3u, 7u, Tail);
    OlvLog_Close();
    const double seconds = Now() - start;
    DeleteFileW(path.c_str());
    return lines / seconds;
}

// Microseconds per record of `records` error lines (each written at once, a
// record of its own) into a plain log of a 64 KiB limit, which they pass many
// times over. With `blocked`, a reader holds the live file open without
// FILE_SHARE_DELETE from the start, so no rotation can move it.
double RotationRecord(const std::wstring& path, int records, bool blocked)
{
    SetEnvironmentVariableW(L"OLVLOGFLAGS", L"1");
    DeleteFileW(path.c_str());
    DeleteFileW((path + L".old").c_str());
    OlvLogOpenResult result = OlvLog_Open(path.c_str(), 1, 64 << 10, false);
    if (result != OlvLogOpened) {
        std::fwprintf(stderr, L"bench_log: cannot open %ls: %ls\n", path.c_str(), OlvLog_OpenResultText(result));
        return 0;
    }
    HANDLE reader = INVALID_HANDLE_VALUE;
    if (blocked)
        reader = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    const double start = Now();
    for (int i = 0; i < records; ++i)
        OlvLog_Print(OlvLogError, LineFormat, i, ServiceName, 3u, 7u, Tail);
    const double seconds = Now() - start;
    OlvLog_Close();
    if (reader != INVALID_HANDLE_VALUE)
        CloseHandle(reader);
    DeleteFileW(path.c_str());
    DeleteFileW((path + L".old").c_str());
    return seconds * 1e6 / records;
}

// The limit's row and the two targets measured against it.
void PrintLimit(double base, double limit, double direct, double writer)
{
    std::wprintf(L"%-44ls %14.0f %10.2f\n", L"limit: ntdll format into 64 KiB, ZwWriteFile", limit, limit / base);
    std::wprintf(L"\nplain direct against the limit (target at least 0.90): %.2f\n", direct / limit);
    std::wprintf(L"plain writer thread against direct (target at least 0.80): %.2f\n", writer / direct);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    int lines = 200000, records = 2000, runs = 5;
    BenchArguments arguments("bench_log", UsageText);
    arguments.Count("--lines", lines).Count("--records", records).Count("--runs", runs);
    if (std::optional<int> exit = arguments.Read(argc, argv))
        return *exit;

    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring folder = std::wstring(temp) + L"bench_log-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder.c_str(), nullptr);
    std::wstring path = folder + L"\\bench.log";

    std::vector<double> format, formatNtdll, limit, direct, writer, encryptedDirect, encryptedWriter, rotating, blocked;
    for (int run = 0; run < runs; ++run) {
        std::fwprintf(stderr, L"run %d of %d ...\n", run + 1, runs);
        format.push_back(FormatOnly(lines, false));
        formatNtdll.push_back(FormatOnly(lines, true));
        limit.push_back(LimitLines(path, lines));
        direct.push_back(LogLines(path, lines, false, false));
        encryptedDirect.push_back(LogLines(path, lines, false, true));
        writer.push_back(LogLines(path, lines, true, false));
        encryptedWriter.push_back(LogLines(path, lines, true, true));
        rotating.push_back(RotationRecord(path, records, false));
        blocked.push_back(RotationRecord(path, records, true));
    }
    RemoveDirectoryW(folder.c_str());

    const double base = Median(format);
    std::wprintf(L"%d lines of about 100 characters, median of %d runs\n", lines, runs);
    std::wprintf(L"%-44ls %14ls %10ls\n", L"case", L"lines/s", L"vs format");
    std::wprintf(L"%-44ls %14.0f %10.2f\n", L"_snwprintf into a stack buffer (format only)", base, 1.0);
    std::wprintf(L"%-44ls %14.0f %10.2f\n", L"same with ntdll's _snwprintf (the logger's)", Median(formatNtdll),
                 Median(formatNtdll) / base);
    std::wprintf(L"%-44ls %14.0f %10.2f\n", L"OlvLog_Print, plain file, direct", Median(direct),
                 Median(direct) / base);
    std::wprintf(L"%-44ls %14.0f %10.2f\n", L"OlvLog_Print, plain file, writer thread", Median(writer),
                 Median(writer) / base);
    std::wprintf(L"%-44ls %14.0f %10.2f\n", L"OlvLog_Print, encrypted file, direct", Median(encryptedDirect),
                 Median(encryptedDirect) / base);
    std::wprintf(L"%-44ls %14.0f %10.2f\n", L"OlvLog_Print, encrypted file, writer thread",
                 Median(encryptedWriter), Median(encryptedWriter) / base);
    PrintLimit(base, Median(limit), Median(direct), Median(writer));
    std::wprintf(L"encrypted against plain (target at least 0.90): direct %.2f, writer thread %.2f\n",
                 Median(encryptedDirect) / Median(direct), Median(encryptedWriter) / Median(writer));
    std::wprintf(L"\n%d error lines past a 64 KiB limit, median of %d runs\n", records, runs);
    std::wprintf(L"%-44ls %14ls\n", L"case", L"us/record");
    std::wprintf(L"%-44ls %14.2f\n", L"rotating freely", Median(rotating));
    std::wprintf(L"%-44ls %14.2f\n", L"rotation blocked by a reader", Median(blocked));
    return 0;
}
