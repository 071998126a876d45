// Log files: the header of a new file, reopening, rotation to ".old" with a
// previous ".old" deleted through a "killed.%x" name, the path limits, and two
// processes appending to and rotating one file.
#include "LogTestSupport.h"

#include "log/OlvLog.h"
#include "base/NtApi.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>

using namespace logtest;

namespace {

constexpr uint64_t LargeFile = 64ull << 20;

std::vector<std::wstring> LinesOf(const std::wstring& path)
{
    return LogFileReader::Lines(path);
}

bool HasKilledFile(const TempFolder& folder)
{
    for (const std::wstring& name : folder.Names())
        if (name.rfind(L"killed.", 0) == 0)
            return true;
    return false;
}

// Sequence numbers of the "line %u" messages, in file order.
std::vector<int> Sequence(const std::vector<std::wstring>& messages)
{
    std::vector<int> numbers;
    for (const std::wstring& message : messages)
        numbers.push_back(std::stoi(message.substr(message.find(L' ') + 1)));
    return numbers;
}

}  // namespace

TEST(LogFile, NewFileGetsPlainHeaderAndReopenedFileIsOnlyAppended)
{
    TempFolder folder;
    std::wstring path = folder / L"header.log";
    {
        ScopedLog log(path, 1, LargeFile, false);
        ASSERT_EQ(log.result, OlvLogOpened);
        OlvLog_Print(OlvLogError, L"one");
    }
    {
        ScopedLog log(path, 1, LargeFile, true);
        ASSERT_EQ(log.result, OlvLogOpened);
        OlvLog_Print(OlvLogError, L"two");
    }
    LogFileContents contents = LogFileReader::Read(path);
    EXPECT_EQ(contents.format, LogFileFormat::Plain);
    EXPECT_EQ(contents.problem, L"");
    EXPECT_EQ(contents.keyInitError, L"");
    ASSERT_EQ(contents.lines.size(), 2u);
    EXPECT_EQ(Message(contents.lines[0]), L"one");
    EXPECT_EQ(Message(contents.lines[1]), L"two");
    std::vector<unsigned char> bytes = FileBytes(path);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 8), "OLVLOG.0");
    EXPECT_EQ(std::count(bytes.begin(), bytes.end(), 'O'), 2) << "exactly one header";
}

TEST(LogFile, OpenRefusesBadArgumentsAndASecondLog)
{
    TempFolder folder;
    std::wstring path = folder / L"args.log";
    EXPECT_EQ(OlvLog_Open(nullptr, 1, LargeFile, false), OlvLogBadArgument);
    EXPECT_EQ(OlvLog_Open(L"", 1, LargeFile, false), OlvLogBadArgument);
    EXPECT_EQ(OlvLog_Open(path.c_str(), 1, 152, false), OlvLogBadArgument);
    EXPECT_EQ(OlvLog_Open((folder / L"missing\\x.log").c_str(), 1, LargeFile, false), OlvLogFileFailed);
    EXPECT_FALSE(FileExists(path));
    ScopedLog log(path, 1, 153, false);
    ASSERT_EQ(log.result, OlvLogOpened);
    EXPECT_EQ(OlvLog_Open(path.c_str(), 1, LargeFile, false), OlvLogAlreadyOpen);
}

TEST(LogFile, NativePathIsAcceptedAsGiven)
{
    TempFolder folder;
    wchar_t full[MAX_PATH];
    GetFullPathNameW((folder / L"native.log").c_str(), MAX_PATH, full, nullptr);
    {
        ScopedLog log(std::wstring(L"\\??\\") + full, 1, LargeFile, false);
        ASSERT_EQ(log.result, OlvLogOpened);
        OlvLog_Print(OlvLogError, L"native");
    }
    EXPECT_EQ(Messages(folder / L"native.log"), std::vector<std::wstring>{L"native"});
}

// Rotation happens at the first write that finds the file at maxFileSize; a
// second rotation finds the first ".old" in the way and removes it through a
// "killed.%x" name, so only the live file and one ".old" remain.
TEST(LogFile, FullFileMovesToOldAndPreviousOldIsDeleted)
{
    TempFolder folder;
    std::wstring path = folder / L"trace.log";
    std::wstring old = folder / L"trace.log.old";
    const int total = 60;
    {
        ScopedLog log(path, 1, 1024, false);
        ASSERT_EQ(log.result, OlvLogOpened);
        bool sawOld = false;
        for (int i = 0; i < total; ++i) {
            OlvLog_Print(OlvLogError, L"line %d", i);
            sawOld = sawOld || FileExists(old);
            EXPECT_FALSE(HasKilledFile(folder)) << "after line " << i;
        }
        EXPECT_TRUE(sawOld);
    }
    std::vector<std::wstring> names = folder.Names();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::wstring>{L"trace.log", L"trace.log.old"}));
    // The live file is a fresh one; ".old" and live together end the sequence
    // without a gap.
    std::vector<std::wstring> messages = Messages(old);
    std::vector<std::wstring> live = Messages(path);
    ASSERT_FALSE(messages.empty());
    ASSERT_FALSE(live.empty());
    EXPECT_LE(FileBytes(old).size(), 1024u + 64u);
    messages.insert(messages.end(), live.begin(), live.end());
    std::vector<int> numbers = Sequence(messages);
    for (size_t i = 0; i < numbers.size(); ++i)
        EXPECT_EQ(numbers[i], total - static_cast<int>(numbers.size()) + static_cast<int>(i));
    EXPECT_EQ(LogFileReader::Read(path).problem, L"");
    EXPECT_EQ(LogFileReader::Read(old).problem, L"");
}

// "x.lg" has fewer than three characters after its dot, and "x.old" is already
// a rotated name: neither is renamed, the file is only reopened and grows on.
TEST(LogFile, NamesWithoutRotatableExtensionAreOnlyReopened)
{
    for (const wchar_t* name : {L"short.lg", L"noext", L"again.old"}) {
        TempFolder folder;
        std::wstring path = folder / name;
        {
            ScopedLog log(path, 1, 512, false);
            ASSERT_EQ(log.result, OlvLogOpened);
            for (int i = 0; i < 20; ++i)
                OlvLog_Print(OlvLogError, L"line %d", i);
        }
        EXPECT_EQ(folder.Names(), std::vector<std::wstring>{name});
        EXPECT_EQ(Messages(path).size(), 20u) << name;
    }
}

// A handle closed behind the log's back is dropped (not closed again) and the
// file reopened, even at the most verbose level; the process goes on.
TEST(LogFile, InvalidHandleIsDroppedAndTheFileReopened)
{
    TempFolder folder;
    std::wstring path = folder / L"handle.log";
    for (unsigned minLevel : {0u, 1u}) {
        {
            ScopedLog log(path, minLevel, LargeFile, false);
            ASSERT_EQ(log.result, OlvLogOpened);
            OlvLog_Print(OlvLogError, L"before %u", minLevel);
            ASSERT_EQ(ZwClose(CurrentLog.load()->file.get()), STATUS_SUCCESS);
            OlvLog_Print(OlvLogError, L"after %u", minLevel);
            EXPECT_TRUE(CurrentLog.load()->file.valid());
        }
    }
    EXPECT_EQ(Messages(path), (std::vector<std::wstring>{L"before 0", L"after 0", L"before 1", L"after 1"}));
}

// A native path of 376 units leaves room for ".old" within 380 and rotates; one
// of 377 units is refused by the opener.
TEST(LogFile, LongestAcceptedPathStillRotates)
{
    TempFolder folder;
    wchar_t full[MAX_PATH];
    GetFullPathNameW(folder.Path().c_str(), MAX_PATH, full, nullptr);
    const std::wstring base = std::wstring(full) + L"\\";
    const size_t nativePrefix = 4;  // "\??\"
    const std::wstring directory = base + std::wstring(200, L'd');
    ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr));
    const size_t nameUnits = 376 - nativePrefix - directory.size() - 1;
    ASSERT_GT(nameUnits, 8u);
    const std::wstring path = directory + L"\\" + std::wstring(nameUnits - 4, L'n') + L".log";
    ASSERT_EQ(path.size() + nativePrefix, 376u);

    EXPECT_EQ(OlvLog_Open((path + L"x").c_str(), 1, 512, false), OlvLogPathTooLong);
    {
        ScopedLog log(path, 1, 512, false);
        ASSERT_EQ(log.result, OlvLogOpened);
        for (int i = 0; i < 20; ++i)
            OlvLog_Print(OlvLogError, L"line %d", i);
    }
    EXPECT_TRUE(FileExists(path + L".old"));
    EXPECT_FALSE(Messages(path).empty());
}

// When the ".old" path would pass 380 units, the full file is not moved (a cut
// name would be wrong) but only reopened. The ".old" name comes from the open
// handle's name and the folder from `path`: a log whose path was moved to a
// deeper folder gets there.
TEST(LogFile, RotationSkipsTheMoveWhenTheOldPathWouldNotFit)
{
    TempFolder folder;
    wchar_t full[MAX_PATH];
    GetFullPathNameW(folder.Path().c_str(), MAX_PATH, full, nullptr);
    const std::wstring name = std::wstring(146, L'n') + L".log";
    // The deep live file: 378 native units, so "<deep>\<name>.old" is 382.
    const size_t deepUnits = 378 - 4 - 1 - name.size();
    const std::wstring deep = std::wstring(full) + L"\\" + std::wstring(deepUnits - wcslen(full) - 1, L'd');
    ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr));
    const std::wstring deepPath = deep + L"\\" + name;
    ASSERT_EQ(deepPath.size() + 4, 378u);
    {
        HANDLE file = CreateFileW(deepPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        unsigned char header[24] = {'O', 'L', 'V', 'L', 'O', 'G', '.', '0', 0xFF, 0xFE};
        DWORD written = 0;
        WriteFile(file, header, sizeof(header), &written, nullptr);
        CloseHandle(file);
    }
    const std::wstring shallowPath = folder / name;
    {
        ScopedLog log(shallowPath, 1, LargeFile, false);
        ASSERT_EQ(log.result, OlvLogOpened);
        OlvLog_Print(OlvLogError, L"fill");
        ProcessLog* current = CurrentLog.load();
        const std::wstring nativeDeep = L"\\??\\" + deepPath;
        wmemcpy(current->path, nativeDeep.c_str(), nativeDeep.size() + 1);
        current->maxFileSize = 64;  // below what "fill" left
        OlvLog_Print(OlvLogError, L"to the deep path");
    }
    EXPECT_EQ(TempFolder::Names(deep), std::vector<std::wstring>{name}) << "nothing renamed beside the live file";
    EXPECT_EQ(Messages(deepPath), std::vector<std::wstring>{L"to the deep path"});
    EXPECT_EQ(Messages(shallowPath), std::vector<std::wstring>{L"fill"});
}

// A process whose full file another process has moved to ".old" already only
// reopens the live file: it neither moves the other's new file nor deletes
// the ".old" in the way.
TEST(LogFile, FileRotatedByAnotherProcessIsOnlyReopened)
{
    TempFolder folder;
    const std::wstring path = folder / L"shared.log";
    const std::wstring readyName = L"olvlog-test-ready-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring goName = L"olvlog-test-go-" + std::to_wstring(GetCurrentProcessId());
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, readyName.c_str());
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, goName.c_str());
    ASSERT_NE(ready, nullptr);
    ASSERT_NE(go, nullptr);
    RunningProcess child = StartChildScenario("WriteAcrossARotation", {path, L"1024", readyName, goName});
    ASSERT_TRUE(child.Started());
    EXPECT_EQ(WaitForSingleObject(ready, 20000), WAIT_OBJECT_0);
    int lines = 0;
    {
        ScopedLog log(path, 1, 1024, false);
        EXPECT_EQ(log.result, OlvLogOpened);
        while (lines < 100 && !FileExists(path + L".old"))
            OlvLog_Print(OlvLogError, L"line %d", lines++);
    }
    SetEvent(go);
    EXPECT_EQ(child.Finish().exitCode, 0u);
    CloseHandle(ready);
    CloseHandle(go);

    std::vector<std::wstring> old = Messages(path + L".old");
    ASSERT_EQ(old.size(), static_cast<size_t>(lines));
    EXPECT_EQ(old.front(), L"child before");
    EXPECT_EQ(Messages(path), (std::vector<std::wstring>{L"line " + std::to_wstring(lines - 1), L"child after"}));
    EXPECT_FALSE(HasKilledFile(folder));
}

// Two processes append fixed-size records to one file and rotate it. Under Wine
// concurrent appends may overwrite records (whole, or from a page boundary on),
// so the test counts what it finds: every record whole, from one of the
// writers, in that writer's order.
TEST(LogFile, TwoProcessesAppendAndRotateOneFileWithoutTornLines)
{
    TempFolder folder;
    std::wstring path = folder / L"shared.log";
    const unsigned count = 600;
    std::wstring eventName = L"olvlog-test-start-" + std::to_wstring(GetCurrentProcessId());
    HANDLE start = CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
    ASSERT_NE(start, nullptr);
    RunningProcess writers[2];
    DWORD pids[2];
    for (unsigned id = 0; id < 2; ++id) {
        writers[id] =
            StartChildScenario("Writer", {path, std::to_wstring(id), std::to_wstring(count), L"65536", eventName});
        ASSERT_TRUE(writers[id].Started());
        pids[id] = writers[id].Id();
    }
    SetEvent(start);
    for (RunningProcess& writer : writers)
        EXPECT_EQ(writer.Finish().exitCode, 0u);
    CloseHandle(start);

    std::vector<std::wstring> lines = LinesOf(path + L".old");
    std::vector<std::wstring> live = LinesOf(path);
    lines.insert(lines.end(), live.begin(), live.end());
    const std::wregex shape(L"\\[[0-9a-f]+:([0-9a-f]+):[0-9a-f]+:3\\] writer ([01]) line ([0-9]{5}) x+");
    int last[2] = {-1, -1};
    unsigned found[2] = {0, 0};
    for (const std::wstring& read : lines) {
        const std::wstring line = WithoutPageCut(read, 96);
        std::wsmatch match;
        ASSERT_TRUE(std::regex_match(line, match, shape)) << "torn or foreign line: " << read;
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
    EXPECT_FALSE(HasKilledFile(folder));
    EXPECT_EQ(LogFileReader::Read(path).problem, L"");
}
