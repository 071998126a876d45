// Helpers of the logging library's tests: a clock the test moves by hand, the
// lines' prefixes and messages, and the writer thread's queue. The folder per
// test, the scoped log and the child scenarios are the shared ones
// (tests/support), brought in with this namespace.
#pragma once

#include "log/reader/LogFileReader.h"
#include "log/ProcessLog.h"
#include "tests/support/ChildScenario.h"
#include "tests/support/LogSupport.h"
#include "tests/support/TempFolder.h"

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

namespace logtest {

using namespace testsupport;

// Replaces the log's tick source for one scope; the test sets `now`.
class ManualClock {
public:
    explicit ManualClock(DWORD start)
    {
        now.store(start);
        LogTickCount.store(&Now);
    }
    ~ManualClock() { LogTickCount.store(&GetTickCount); }
    ManualClock(const ManualClock&) = delete;
    ManualClock& operator=(const ManualClock&) = delete;

    static inline std::atomic<DWORD> now{0};

private:
    static DWORD WINAPI Now() { return now.load(); }
};

// The prefix this thread's lines get at `tick` and `level`.
inline std::wstring Prefix(DWORD tick, unsigned level)
{
    wchar_t prefix[64];
    int units = _snwprintf(prefix, 64, L"[%x:%x:%x:%x] ", static_cast<unsigned>(tick),
                           static_cast<unsigned>(GetCurrentProcessId()), static_cast<unsigned>(GetCurrentThreadId()),
                           level);
    return std::wstring(prefix, static_cast<size_t>(units));
}

// A line's text without its prefix (everything after the first "] ").
inline std::wstring Message(const std::wstring& line)
{
    size_t end = line.find(L"] ");
    return end == std::wstring::npos ? line : line.substr(end + 2);
}

// The whole record of a line that two writing processes may have made of two
// under Wine: an append there is "take the size, then write", and Linux grows
// a file a page at a time while it writes, so another process's append can
// land at the 4 KiB boundary inside a record that crosses it. The line then
// holds the cut record's start ("[" and under `recordUnits` units) and a
// whole record. Windows appends atomically. Any other line comes back as is.
inline std::wstring WithoutPageCut(const std::wstring& line, size_t recordUnits)
{
    size_t whole = line.rfind(L'[');
    if (line.empty() || line[0] != L'[' || whole == 0 || whole == std::wstring::npos || whole >= recordUnits)
        return line;
    return line.substr(whole);
}

inline std::vector<std::wstring> Messages(const std::wstring& path)
{
    std::vector<std::wstring> messages;
    for (const std::wstring& line : LogFileReader::Lines(path))
        messages.push_back(Message(line));
    return messages;
}

// Holds the writer thread, from the moment it reaches this call, until
// `release` is set (at most 10 seconds).
inline bool HoldWriter(ProcessLog* log, HANDLE release)
{
    return QueueWriterCall(log, [](void* event) { WaitForSingleObject(static_cast<HANDLE>(event), 10000); }, release);
}

// Gives `log` a heap of at most `maxBytes` that cannot grow, in place of its
// own, and drops its batch buffer: what the log allocates next comes from that
// heap. Null when the heap could not be made; the caller destroys it.
inline HANDLE UseSmallHeap(ProcessLog* log, SIZE_T maxBytes)
{
    HANDLE heap = HeapCreate(0, 0, maxBytes);
    if (heap == nullptr)
        return nullptr;
    LogSpinLockHolder batch(log->bufferLock);
    FreeOwnedBlock(log, log->buffer);
    log->buffer = nullptr;
    log->bufferUsed = 0;
    log->heap = heap;
    return heap;
}

// Returns once the writer thread has written everything queued to it so far
// (at once when the log is written directly), or false after a few seconds.
inline bool WriterDrained()
{
    ProcessLog* log = CurrentLog.load();
    if (log == nullptr || !log->writer.HasThread() || !log->useWriterThread.load())
        return true;
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    bool drained = QueueWriterCall(log, [](void* done) { SetEvent(static_cast<HANDLE>(done)); }, event) &&
                   WaitForSingleObject(event, 5000) == WAIT_OBJECT_0;
    CloseHandle(event);
    return drained;
}

}  // namespace logtest
