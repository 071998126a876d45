// The log call: filter, format on the stack (or in growing heap blocks for long
// messages), and hand the finished line to the batch of the process log.
#include "log/OlvLog.h"

#include "log/ProcessLog.h"
#include "base/OnceGuard.h"

#include <intrin.h>

#include <cstdarg>
#include <cstring>

std::atomic<ProcessLog*> CurrentLog{nullptr};
std::atomic<LONG> LogCallersInFlight{0};
std::atomic<LogTickSource> LogTickCount{&GetTickCount};

namespace {

// The message formatter of ntdll.dll: Microsoft semantics (%s wide, %S narrow,
// -1 when the text does not fit), whatever the C runtime linked into this
// module does.
using VsnwprintfProc = int(__cdecl*)(wchar_t* buffer, size_t count, const wchar_t* format, va_list args);

OnceGuard VsnwprintfGuard{0};
VsnwprintfProc NtVsnwprintf = nullptr;

VsnwprintfProc Vsnwprintf()
{
    RunOnce(VsnwprintfGuard, [] {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        NtVsnwprintf = reinterpret_cast<VsnwprintfProc>(
            reinterpret_cast<void (*)()>(ntdll ? GetProcAddress(ntdll, "_vsnwprintf") : nullptr));
    });
    return NtVsnwprintf;
}

// Stack line: prefix and message share 1,792 units; the message may use
// 1,780 - n of them, which leaves room for CR LF and the padding.
constexpr size_t StackLineUnits = 1792;
constexpr size_t StackMessageLimit = 1780;

// Heap attempts: capacity k units in an owned block of 2k + 16 bytes, the
// message after the prefix with k - n - 12 units of room; k grows by k/16 + 256
// until it reaches 1,048,576 (91 attempts).
constexpr size_t HeapFirstCapacity = 256;
constexpr size_t HeapCapacityLimit = 0x100000;

// Appends CR LF and pads with U+0000 to a multiple of 8 units; returns the new length.
size_t FinishLine(wchar_t* line, size_t units)
{
    line[units++] = L'\r';
    line[units++] = L'\n';
    while (units % 8 != 0)
        line[units++] = L'\0';
    return units;
}

// Formats, then submits. Returns nothing: a line that cannot be formatted or
// allocated is dropped, never truncated.
void PrintLine(ProcessLog* log, unsigned level, const wchar_t* format, va_list args)
{
    VsnwprintfProc vsnwprintf = Vsnwprintf();
    if (!vsnwprintf)
        return;

    const uint32_t fatal = level == OlvLogFatal ? SubmitFatal : 0;
    wchar_t line[StackLineUnits];
    const size_t n = WriteLinePrefix(line, static_cast<uint32_t>(LogTickCount.load()()), level);

    va_list attempt;
    va_copy(attempt, args);
    int message = vsnwprintf(line + n, StackMessageLimit - n, format, attempt);
    va_end(attempt);
    if (message >= 0) {
        size_t units = FinishLine(line, n + static_cast<size_t>(message));
        LogSubmit(log, fatal, line, static_cast<int32_t>(units * sizeof(wchar_t)));
        return;
    }

    for (size_t k = HeapFirstCapacity; k < HeapCapacityLimit; k += (k >> 4) + 256) {
        auto block = static_cast<wchar_t*>(AllocateOwnedBlock(log, 2 * k + 16));
        if (!block)
            return;
        va_copy(attempt, args);
        message = vsnwprintf(block + n, k - n - 12, format, attempt);
        va_end(attempt);
        if (message >= 0) {
            std::memcpy(block, line, n * sizeof(wchar_t));
            size_t units = FinishLine(block, n + static_cast<size_t>(message));
            LogSubmit(log, SubmitOwned | fatal, block, static_cast<int32_t>(units * sizeof(wchar_t)));
            return;
        }
        FreeOwnedBlock(log, block);
    }
}

}  // namespace

void OlvLog_Print(unsigned level, const wchar_t* format, ...)
{
    if (CurrentLog.load() != nullptr) {
        ++LogCallersInFlight;
        // Looked at again after counting ourselves in: a closer that cleared
        // CurrentLog before our increment does not wait for us, so we must not
        // use what we saw before it.
        if (ProcessLog* log = CurrentLog.load(); log != nullptr && level >= log->minLevel) {
            DWORD savedError = GetLastError();
            va_list args;
            va_start(args, format);
            PrintLine(log, level, format, args);
            va_end(args);
            if (level == OlvLogError) {
                LogSpinLockHolder batch(log->bufferLock);
                SendBatch(log, SubmitOwned);
            }
            SetLastError(savedError);
        }
        --LogCallersInFlight;
    }
    if (level == OlvLogFatal)
        __debugbreak();
}

void OlvLog_Win32Call(const char* sourceFile, unsigned line)
{
    DWORD error = GetLastError();
    OlvLog_Print(OlvLogError, L"OLV_LOG_WIN32_CALL: '%S': %u %u", sourceFile, line, static_cast<unsigned>(error));
}
