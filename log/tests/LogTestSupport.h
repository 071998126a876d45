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
#include "tests/support/WaitUntil.h"
#include "base/UniqueHandle.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <optional>
#include <regex>
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

// A message whose line, behind a prefix of `prefixUnits`, fills exactly
// `bytes` bytes (a multiple of 16) with its CR LF: `text`, then "f"s.
inline std::wstring MessageOfBytes(size_t bytes, size_t prefixUnits, std::wstring text = {})
{
    text.resize(bytes / 2 - prefixUnits - 2, L'f');
    return text;
}

inline std::vector<std::wstring> Messages(const std::wstring& path)
{
    std::vector<std::wstring> messages;
    for (const std::wstring& line : LogFileReader::Lines(path))
        messages.push_back(Message(line));
    return messages;
}

// Returns once the writer thread has written everything queued to it so far
// (at once when the log is written directly), or false after a few seconds.
inline bool WriterDrained()
{
    ProcessLog* log = CurrentLog.load();
    if (log == nullptr || !log->writer.HasThread() || !log->useWriterThread.load())
        return true;
    UniqueEvent done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    return done.valid() &&
           QueueWriterCall(log, [](void* event) { SetEvent(static_cast<HANDLE>(event)); }, done.get()) &&
           WaitForSingleObject(done.get(), 5000) == WAIT_OBJECT_0;
}

// Holds the writer thread of `log` inside a queued call until Release or the
// end of the scope (at most 10 seconds). Held once the writer is in the call:
// it retires a call's item before it runs it, so the queue is then empty.
class HeldWriter {
public:
    explicit HeldWriter(ProcessLog* log) : release(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        held = release.valid() &&
               QueueWriterCall(
                   log, [](void* event) { WaitForSingleObject(static_cast<HANDLE>(event), 10000); },
                   release.get()) &&
               WaitUntil([log] { return log->writer.QueuedBytes() == 0; });
    }
    ~HeldWriter() { Release(); }
    HeldWriter(const HeldWriter&) = delete;
    HeldWriter& operator=(const HeldWriter&) = delete;

    bool Held() const { return held; }
    void Release()
    {
        if (release.valid())
            SetEvent(release.get());
    }

private:
    UniqueEvent release;
    bool held = false;
};

// A log of its own folder whose writer thread is held and whose heap is one
// of at most `heapBytes` that cannot grow: lines queue behind the writer, and
// once the heap is full the log's allocations fail. The log's batch buffer is
// dropped, so its next one comes from that heap too. At the end the writer
// is released and drained before the log takes the process heap again and
// the small one is destroyed.
class StarvedLog {
public:
    StarvedLog(const wchar_t* name, SIZE_T heapBytes)
        : path(folder / name), opened(path, 1, 64ull << 20, true), log(CurrentLog.load()),
          heap(opened.result == OlvLogOpened ? HeapCreate(0, 0, heapBytes) : nullptr)
    {
        if (heap == nullptr)
            return;
        {
            LogSpinLockHolder batch(log->bufferLock);
            FreeOwnedBlock(log, log->buffer);
            log->buffer = nullptr;
            log->bufferUsed = 0;
            log->heap = heap;
        }
        writer.emplace(log);
    }
    ~StarvedLog()
    {
        if (heap == nullptr)
            return;
        Release();
        log->heap = GetProcessHeap();
        HeapDestroy(heap);
    }
    StarvedLog(const StarvedLog&) = delete;
    StarvedLog& operator=(const StarvedLog&) = delete;

    bool Ready() const { return writer.has_value() && writer->Held(); }
    // Lets the writer go and waits until it has written what is queued.
    bool Release()
    {
        if (writer)
            writer->Release();
        return WriterDrained();
    }
    const std::wstring& Path() const { return path; }
    ProcessLog* Log() const { return log; }
    HANDLE Heap() const { return heap; }

private:
    TempFolder folder;
    const std::wstring path;
    ScopedLog opened;
    ProcessLog* const log;
    const HANDLE heap;
    std::optional<HeldWriter> writer;
};

// Two child processes (the Writer scenario) append `count` records of one
// size each to `path` from the same moment on, rotating it at `maxFileSize`.
// Under Wine concurrent appends may overwrite records (whole, or from a page
// boundary on; Windows appends atomically), so what is checked is every
// record found in ".old" and the live file: whole, from one of the writers
// (by its process id too), in that writer's order.
inline void CheckTwoWritersAtOnce(const std::wstring& path, unsigned count, const wchar_t* maxFileSize,
                                  const LogFileKey* key)
{
    const std::wstring eventName = L"olvlog-test-start-" + std::to_wstring(GetCurrentProcessId());
    UniqueEvent start(CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
    ASSERT_TRUE(start.valid());
    RunningProcess writers[2];
    DWORD pids[2] = {};
    for (unsigned id = 0; id < 2; ++id) {
        writers[id] =
            StartChildScenario("Writer", {path, std::to_wstring(id), std::to_wstring(count), maxFileSize, eventName});
        ASSERT_TRUE(writers[id].Started());
        pids[id] = writers[id].Id();
    }
    SetEvent(start.get());
    for (RunningProcess& writer : writers)
        EXPECT_EQ(writer.Finish().exitCode, 0u);

    std::vector<std::wstring> lines = LogFileReader::Lines(path + L".old", key);
    std::vector<std::wstring> live = LogFileReader::Lines(path, key);
    lines.insert(lines.end(), live.begin(), live.end());
    const std::wregex shape(L"\\[[0-9a-f]+:([0-9a-f]+):[0-9a-f]+:3\\] writer ([01]) line ([0-9]{5}) x+");
    int last[2] = {-1, -1};
    unsigned found[2] = {0, 0};
    for (const std::wstring& read : lines) {
        const std::wstring line = WithoutPageCut(read, 96);
        std::wsmatch match;
        ASSERT_TRUE(std::regex_match(line, match, shape)) << "torn, foreign or undecodable line: " << read;
        unsigned id = static_cast<unsigned>(std::stoi(match[2].str()));
        EXPECT_EQ(std::stoul(match[1].str(), nullptr, 16), pids[id]);
        int number = std::stoi(match[3].str());
        EXPECT_GT(number, last[id]) << "writer " << id << " out of order";
        last[id] = number;
        ++found[id];
    }
    // The file was rotated while both wrote; which writer's lines survive in
    // the last two files depends on the interleaving.
    EXPECT_TRUE(FileExists(path + L".old"));
    EXPECT_GT(found[0] + found[1], 0u) << found[0] << " and " << found[1] << " lines found";
    EXPECT_EQ(LogFileReader::Read(path, key).problem, L"");
}

}  // namespace logtest
