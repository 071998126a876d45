// The log call: line layout, level filter, last-error preservation, the stack
// and heap paths, and when a batch leaves the process.
#include "LogTestSupport.h"

#include "tests/support/LogCapture.h"
#include "log/OlvLog.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

using namespace logtest;

namespace {

constexpr uint64_t LargeFile = 64ull << 20;

std::vector<unsigned char> Utf16(const std::wstring& text)
{
    std::vector<unsigned char> bytes;
    for (wchar_t unit : text) {
        bytes.push_back(static_cast<unsigned char>(unit & 0xFF));
        bytes.push_back(static_cast<unsigned char>(unit >> 8));
    }
    return bytes;
}

std::vector<unsigned char> PlainHeader()
{
    std::vector<unsigned char> bytes = {'O', 'L', 'V', 'L', 'O', 'G', '.', '0', 0xFF, 0xFE};
    bytes.resize(24, 0);
    return bytes;
}

// What a line looks like on disk: prefix, message, CR LF, U+0000 to a multiple of 8.
std::vector<unsigned char> LineBytes(const std::wstring& prefix, const std::wstring& message)
{
    std::wstring line = prefix + message + L"\r\n";
    while (line.size() % 8 != 0)
        line.push_back(L'\0');
    return Utf16(line);
}

}  // namespace

TEST(OlvLogPrint, LineIsPrefixMessageCrLfAndPaddingToEightUnits)
{
    TempFolder folder;
    std::wstring path = folder / L"layout.log";
    {
        ManualClock clock(0xabc);
        ScopedLog log(path, 0, LargeFile, false);
        ASSERT_EQ(log.result, OlvLogOpened);
        OlvLog_Print(OlvLogInfo, L"hello %d %s %S", 42, L"wide", "narrow");
        OlvLog_Print(OlvLogTrace, L"");
        OlvLog_Print(0, L"%u", 1234567u);
        OlvLog_Print(OlvLogImportant, L"x");
    }
    std::vector<unsigned char> expected = PlainHeader();
    for (auto part : {LineBytes(Prefix(0xabc, 2), L"hello 42 wide narrow"), LineBytes(Prefix(0xabc, 1), L""),
                      LineBytes(Prefix(0xabc, 0), L"1234567"), LineBytes(Prefix(0xabc, 4), L"x")})
        expected.insert(expected.end(), part.begin(), part.end());
    EXPECT_EQ(FileBytes(path), expected);
}

// The file holds the same bytes whichever way the batches leave (the caller
// or the writer thread, in 64 KiB batches, by a flush, an error line or a
// block of their own), and every prefix is the formatter's "[%x:%x:%x:%x] "
// at every number of digits.
TEST(OlvLogPrint, FileBytesAreTheFormattersTextDirectAndThroughTheWriter)
{
    struct Line {
        DWORD tick;
        unsigned level;
        std::wstring message;
    };
    std::vector<Line> lines;
    for (DWORD tick : {0x0u, 0xFu, 0x10u, 0xABCu, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu})
        for (unsigned level : {0u, 1u, 2u, 4u, 0x10u, 0xFFFFFFFFu})
            lines.push_back({tick, level, L"tick and level"});
    for (int i = 0; i < 2000; ++i)  // several 64 KiB batches
        lines.push_back({0x1234, OlvLogInfo, L"line " + std::to_wstring(i) + std::wstring(i % 97, L'x')});
    lines.push_back({0x1234, OlvLogError, L"error"});
    lines.push_back({0x1234, OlvLogInfo, std::wstring(3000, L'h')});   // beyond the stack buffer
    lines.push_back({0x1234, OlvLogInfo, std::wstring(40000, L'b')});  // a block of its own
    lines.push_back({0x1234, OlvLogInfo, L"last"});

    std::wstring text;
    for (const Line& line : lines) {
        text += Prefix(line.tick, line.level) + line.message + L"\r\n";
        text.resize((text.size() + 7) / 8 * 8, L'\0');
    }
    std::vector<unsigned char> expected(24, 0);  // the plain header
    std::memcpy(expected.data(), "OLVLOG.0\xFF\xFE", 10);
    const std::vector<unsigned char> body = Utf16(text);
    expected.insert(expected.end(), body.begin(), body.end());
    TempFolder folder;
    ManualClock clock(0);
    for (bool writerThread : {false, true}) {
        std::wstring path = folder / (writerThread ? L"writer.log" : L"direct.log");
        {
            ScopedLog log(path, 0, LargeFile, writerThread);
            ASSERT_EQ(log.result, OlvLogOpened);
            for (size_t i = 0; i < lines.size(); ++i) {
                ManualClock::now.store(lines[i].tick);
                OlvLog_Print(lines[i].level, L"%s", lines[i].message.c_str());
                if (i == 100)
                    FlushCurrentLog();
            }
        }
        std::vector<unsigned char> bytes = FileBytes(path);
        auto differ = std::mismatch(bytes.begin(), bytes.end(), expected.begin(), expected.end());
        EXPECT_TRUE(bytes == expected) << "writer thread " << writerThread << ": " << bytes.size() << " bytes, "
                                       << expected.size() << " expected, first difference at "
                                       << (differ.first - bytes.begin());
    }
}

TEST(OlvLogPrint, LevelsBelowMinimumAreDroppedAndLastErrorIsKeptEitherWay)
{
    TempFolder folder;
    std::wstring path = folder / L"filter.log";
    for (bool writerThread : {false, true}) {
        {
            ScopedLog log(path, OlvLogError, LargeFile, writerThread);
            ASSERT_EQ(log.result, OlvLogOpened);
            for (unsigned level = 0; level <= OlvLogImportant; ++level) {
                SetLastError(0xE0001234 + level);
                OlvLog_Print(level, L"level %u", level);
                EXPECT_EQ(GetLastError(), 0xE0001234 + level) << "level " << level;
            }
        }
        EXPECT_EQ(Messages(path), (std::vector<std::wstring>{L"level 3", L"level 4"}));
        DeleteFileW(path.c_str());
    }
}

TEST(OlvLogPrint, Win32CallFormCarriesSourceLineAndLastErrorAndKeepsIt)
{
    TempFolder folder;
    std::wstring path = folder / L"win32.log";
    unsigned line = 0;
    {
        ScopedLog log(path, 1, LargeFile, false);
        ASSERT_EQ(log.result, OlvLogOpened);
        SetLastError(ERROR_ACCESS_DENIED);
        line = __LINE__ + 1;
        OLV_LOG_WIN32_CALL();
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
    std::wstring file(__FILE__, __FILE__ + std::strlen(__FILE__));
    EXPECT_EQ(Messages(path), (std::vector<std::wstring>{L"OLV_LOG_WIN32_CALL: '" + file + L"': " +
                                                          std::to_wstring(line) + L" 5"}));
}

// Around the end of the stack buffer (1,780 - n units of message) and around
// the room of the first heap attempts (k - n - 12 units), every message arrives
// whole, never truncated.
TEST(OlvLogPrint, MessagesAroundStackAndHeapCapacitiesArriveWhole)
{
    TempFolder folder;
    std::wstring path = folder / L"boundary.log";
    ManualClock clock(0x1000);
    const size_t n = Prefix(0x1000, OlvLogInfo).size();
    std::vector<size_t> lengths;
    for (size_t k : {256u, 528u, 817u, 1124u, 1450u, 1780u + 12u, 1796u, 2164u})
        for (size_t delta : {0u, 1u, 2u})
            lengths.push_back(k - n - 12 - 1 + delta);
    std::vector<std::wstring> expected;
    {
        ScopedLog log(path, 0, LargeFile, false);
        ASSERT_EQ(log.result, OlvLogOpened);
        for (size_t length : lengths) {
            std::wstring message(length, L'a' + static_cast<wchar_t>(length % 26));
            OlvLog_Print(OlvLogInfo, L"%s", message.c_str());
            expected.push_back(message);
        }
    }
    EXPECT_EQ(Messages(path), expected);
}

TEST(OlvLogPrint, LongestMessageIsKeptAndOneBeyondTheLastAttemptIsDropped)
{
    TempFolder folder;
    std::wstring path = folder / L"huge.log";
    ManualClock clock(0x1000);
    const size_t n = Prefix(0x1000, OlvLogInfo).size();
    // The last heap attempt holds 1,013,705 units: prefix, message and 12 spare.
    const std::wstring longest(1013705 - n - 12, L'L');
    const std::wstring tooLong(longest.size() + 1, L'T');
    {
        ScopedLog log(path, 0, LargeFile, false);
        ASSERT_EQ(log.result, OlvLogOpened);
        OlvLog_Print(OlvLogInfo, L"before");
        OlvLog_Print(OlvLogInfo, L"%s", longest.c_str());
        SetLastError(0xE0000001);
        OlvLog_Print(OlvLogInfo, L"%s", tooLong.c_str());
        EXPECT_EQ(GetLastError(), 0xE0000001u);
        OlvLog_Print(OlvLogInfo, L"after");
    }
    EXPECT_EQ(Messages(path), (std::vector<std::wstring>{L"before", longest, L"after"}));
}

TEST(OlvLogPrint, ErrorLineSendsItselfAndEverythingBatchedBeforeReturning)
{
    TempFolder folder;
    std::wstring path = folder / L"error.log";
    ManualClock clock(0x1000);
    for (bool writerThread : {false, true}) {
        ScopedLog log(path, 1, LargeFile, writerThread);
        ASSERT_EQ(log.result, OlvLogOpened);
        OlvLog_Print(OlvLogInfo, L"batched");
        OlvLog_Print(OlvLogImportant, L"also batched");
        ASSERT_TRUE(WriterDrained());
        EXPECT_TRUE(Messages(path).empty());
        OlvLog_Print(OlvLogError, L"error");
        // Through the writer thread: handed over before the call returned.
        ASSERT_TRUE(WriterDrained());
        EXPECT_EQ(Messages(path), (std::vector<std::wstring>{L"batched", L"also batched", L"error"}));
        OlvLog_Close();
        DeleteFileW(path.c_str());
    }
}

TEST(OlvLogPrint, SubmissionAfterTheDeadlineSendsTheOldBatchFirst)
{
    TempFolder folder;
    std::wstring path = folder / L"deadline.log";
    ManualClock clock(1000);
    ScopedLog log(path, 1, LargeFile, false);
    ASSERT_EQ(log.result, OlvLogOpened);
    OlvLog_Print(OlvLogInfo, L"a");
    ManualClock::now.store(1000 + 5119);
    OlvLog_Print(OlvLogInfo, L"b");
    EXPECT_TRUE(Messages(path).empty());
    ManualClock::now.store(1000 + 5120);
    OlvLog_Print(OlvLogInfo, L"c");
    EXPECT_EQ(Messages(path), (std::vector<std::wstring>{L"a", L"b"}));
    // The send restarted the deadline from the send's own tick.
    ManualClock::now.store(1000 + 5120 + 5119);
    OlvLog_Print(OlvLogInfo, L"d");
    EXPECT_EQ(Messages(path).size(), 2u);
    ManualClock::now.store(1000 + 5120 + 5120);
    OlvLog_Print(OlvLogInfo, L"e");
    EXPECT_EQ(Messages(path), (std::vector<std::wstring>{L"a", L"b", L"c", L"d"}));
}

// The batch's limits to the byte, with lines of exact sizes (prefix, message,
// CR LF and padding): a batch leaves once it holds 64 KiB; a block of 64 KiB
// or more goes by itself; a line that would bring the batch to its 69,632
// bytes sends the batch ahead of it. Each row logs its lines into a fresh
// file and names how many of them are in it after the last call.
TEST(OlvLogPrint, BatchLimitsHoldToTheByte)
{
    struct Row {
        std::vector<size_t> lineBytes;
        size_t written;
    };
    const Row rows[] = {
        {{32752, 32768}, 0}, {{32752, 32784}, 2},  // the batch reaches 64 KiB
        {{65520}, 0},        {{65536}, 1},         // a block of 64 KiB
        {{48, 65536}, 2},                          // ... after the batch before it
        {{40000, 29616}, 2}, {{40000, 29632}, 1},  // the buffer's 69,632 bytes
    };
    TempFolder folder;
    ManualClock clock(0x1000);
    const size_t n = Prefix(0x1000, OlvLogInfo).size();
    for (const Row& row : rows) {
        const size_t index = &row - rows;
        SCOPED_TRACE(index);
        const std::wstring path = folder / (L"batch" + std::to_wstring(index) + L".log");
        std::vector<std::wstring> messages;
        ScopedLog log(path, 1, LargeFile, false);
        ASSERT_EQ(log.result, OlvLogOpened);
        for (size_t bytes : row.lineBytes) {
            messages.emplace_back(bytes / 2 - n - 2, static_cast<wchar_t>(L'a' + messages.size()));
            OlvLog_Print(OlvLogInfo, L"%s", messages.back().c_str());
        }
        messages.resize(row.written);
        EXPECT_EQ(Messages(path), messages);
    }
}

// Without a batch buffer a short line from the stack must still go through
// the one writer thread: written by the caller it overtook a long line the
// writer had not written yet (and the caller's size check and rotation ran
// beside the writer's).
TEST(OlvLogPrint, WithoutABatchBufferLinesKeepTheirOrderThroughTheWriter)
{
    // Too small for a batch buffer (69,632 bytes), large enough for lines.
    StarvedLog starved(L"unbatched.log", 48 * 1024);
    ASSERT_TRUE(starved.Ready());
    const std::wstring longLine(2000, L'l');  // formatted in a heap block
    OlvLog_Print(OlvLogInfo, L"%s", longLine.c_str());
    OlvLog_Print(OlvLogInfo, L"short");
    EXPECT_TRUE(Messages(starved.Path()).empty()) << "a line was written beside the writer thread";
    ASSERT_TRUE(starved.Release());
    std::vector<std::wstring> messages = Messages(starved.Path());
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_TRUE(messages[0] == longLine) << "the long line is not first";
    EXPECT_EQ(messages[1], L"short");
}

TEST(OlvLogPrint, FatalLineIsOnDiskWhenTheProcessEndsByBreakpoint)
{
    TempFolder folder;
    for (bool writerThread : {false, true}) {
        std::wstring path = folder / (writerThread ? L"fatal-writer.log" : L"fatal-direct.log");
        DWORD code = RunChildScenario(writerThread ? "FatalThroughWriter" : "FatalDirect", {path}).exitCode;
        EXPECT_EQ(code, BreakpointExitCode) << "writer thread " << writerThread;
        // The caller writes the fatal line, after whatever is still queued for
        // the writer thread: the batch before it was lost or came second when
        // the caller wrote beside the writer.
        EXPECT_EQ(Messages(path), (std::vector<std::wstring>{L"before the fatal line", L"fatal line 5"}))
            << "writer thread " << writerThread;
    }
}

TEST(OlvLogPrint, FatalLevelTrapsEvenWithoutLog)
{
    EXPECT_EQ(RunChildScenario("FatalWithoutLog").exitCode, BreakpointExitCode);
}

TEST(OlvLogPrint, LastThreadGetsThroughABufferLockNobodyCanRelease)
{
    TempFolder folder;
    std::wstring path = folder / L"dead-holder.log";
    EXPECT_EQ(RunChildScenario("DeadLockHolder", {path}).exitCode, 0u);
    EXPECT_EQ(Messages(path), std::vector<std::wstring>{L"through the lock of a dead holder"});
}

// Threads keep logging and flushing while the log is opened and closed again
// and again: a closer must wait for every caller still using the object, and
// every line that reached a file is whole.
TEST(OlvLogPrint, ClosingWhileOthersLogAndFlushLeavesOnlyWholeLines)
{
    TempFolder folder;
    std::wstring path = folder / L"churn.log";
    std::atomic<bool> stop{false};
    std::atomic<int> calls{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([t, &stop, &calls] {
            for (int i = 0; !stop.load(); ++i) {
                OlvLog_Print(i % 7 == 0 ? OlvLogError : OlvLogInfo, L"thread %d line %d", t, i);
                ++calls;
                if (i % 50 == 0) {
                    HANDLE flush = CreateThread(nullptr, 0, &OlvLog_FlushThread, nullptr, 0, nullptr);
                    if (flush != nullptr) {
                        WaitForSingleObject(flush, 10000);
                        CloseHandle(flush);
                    }
                }
            }
        });
    for (int round = 0; round < 40; ++round) {
        ASSERT_EQ(OlvLog_Open(path.c_str(), 1, 1 << 20, round % 2 == 0), OlvLogOpened);
        // Calls that began while this log was open.
        const int before = calls.load();
        EXPECT_TRUE(WaitUntil([&] { return calls.load() >= before + 3; }));
        OlvLog_Close();
    }
    stop.store(true);
    for (std::thread& thread : threads)
        thread.join();
    LogFileContents contents = LogFileReader::Read(path);
    EXPECT_EQ(contents.problem, L"");
    EXPECT_FALSE(contents.lines.empty());
    for (const std::wstring& message : Messages(path)) {
        int t = -1;
        int i = -1;
        if (message.rfind(L"OlvLog_FlushThread(", 0) == 0)
            continue;
        EXPECT_EQ(swscanf(message.c_str(), L"thread %d line %d", &t, &i), 2) << "torn line";
    }
}

TEST(LogCapture, GivesTheExactMessagesLoggedSoFarAndCleansUp)
{
    std::wstring path;
    {
        LogCapture capture;
        ASSERT_TRUE(capture.opened()) << OlvLog_OpenResultText(capture.openResult());
        path = capture.path();
        OlvLog_Print(OlvLogTrace, L"RuxUIClient::WorkerProc: new session id = %d", 3);
        OlvLog_Print(0, L"level zero");
        EXPECT_EQ(capture.Messages(),
                  (std::vector<std::wstring>{L"RuxUIClient::WorkerProc: new session id = 3", L"level zero"}));
        EXPECT_EQ(capture.Lines().front().substr(0, 1), L"[");
    }
    EXPECT_EQ(CurrentLog.load(), nullptr);
    EXPECT_FALSE(FileExists(path));
}
