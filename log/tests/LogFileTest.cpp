// Log files: the header of a new file, reopening, rotation to ".old" with a
// previous ".old" deleted through a "killed.%x" name, the path limits, and two
// processes appending to and rotating one file.
#include "LogTestSupport.h"

#include "log/LogFileName.h"
#include "log/OlvLog.h"
#include "base/NtApi.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>

using namespace logtest;

namespace {

constexpr uint64_t LargeFile = 64ull << 20;

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
    ASSERT_TRUE(LogLines(path, {L"one"}));
    ASSERT_TRUE(LogLines(path, {L"two"}, true));
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
    ASSERT_TRUE(LogLines(std::wstring(L"\\??\\") + full, {L"native"}));
    EXPECT_EQ(Messages(folder / L"native.log"), std::vector<std::wstring>{L"native"});
}

// A file is full at its maximum size to the byte: the next write moves it to
// ".old" when it holds exactly that much (a 24-byte header and two lines of
// 160 bytes), and appends while it lacks 16 bytes.
TEST(LogFile, FileIsFullAtItsMaximumSizeToTheByte)
{
    TempFolder folder;
    ManualClock clock(0x1000);
    const size_t n = Prefix(0x1000, OlvLogError).size();
    for (uint64_t lacking : {0u, 16u}) {
        SCOPED_TRACE(lacking);
        const std::wstring path = folder / (L"full" + std::to_wstring(lacking) + L".log");
        const uint64_t maxFileSize = 24 + 2 * 160 + lacking;
        std::vector<std::wstring> lines;
        {
            ScopedLog log(path, 1, maxFileSize, false);
            ASSERT_EQ(log.result, OlvLogOpened);
            for (int i = 0; i < 3; ++i) {
                lines.push_back(MessageOfBytes(160, n, L"line " + std::to_wstring(i) + L" "));
                OlvLog_Print(OlvLogError, L"%s", lines.back().c_str());
            }
        }
        if (lacking == 0) {
            EXPECT_EQ(FileBytes(path + L".old").size(), maxFileSize);
            EXPECT_EQ(Messages(path + L".old"), std::vector<std::wstring>(lines.begin(), lines.begin() + 2));
            EXPECT_EQ(Messages(path), std::vector<std::wstring>{lines[2]});
        } else {
            EXPECT_FALSE(FileExists(path + L".old"));
            EXPECT_EQ(Messages(path), lines);
        }
    }
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
    UniqueEvent ready(CreateEventW(nullptr, TRUE, FALSE, readyName.c_str()));
    UniqueEvent go(CreateEventW(nullptr, TRUE, FALSE, goName.c_str()));
    ASSERT_TRUE(ready.valid() && go.valid());
    RunningProcess child = StartChildScenario("WriteAcrossARotation", {path, L"1024", readyName, goName});
    ASSERT_TRUE(child.Started());
    ASSERT_TRUE(child.WaitForEvent(ready.get(), 20000));
    int lines = 0;
    {
        ScopedLog log(path, 1, 1024, false);
        EXPECT_EQ(log.result, OlvLogOpened);
        while (lines < 100 && !FileExists(path + L".old"))
            OlvLog_Print(OlvLogError, L"line %d", lines++);
    }
    SetEvent(go.get());
    EXPECT_EQ(child.Finish().exitCode, 0u);

    std::vector<std::wstring> old = Messages(path + L".old");
    ASSERT_EQ(old.size(), static_cast<size_t>(lines));
    EXPECT_EQ(old.front(), L"child before");
    EXPECT_EQ(Messages(path), (std::vector<std::wstring>{L"line " + std::to_wstring(lines - 1), L"child after"}));
    EXPECT_FALSE(HasKilledFile(folder));
}

// Two processes append fixed-size records to one file and rotate it; every
// record found is whole and in its writer's order (CheckTwoWritersAtOnce).
TEST(LogFile, TwoProcessesAppendAndRotateOneFileWithoutTornLines)
{
    TempFolder folder;
    CheckTwoWritersAtOnce(folder / L"shared.log", 600, L"65536", nullptr);
    EXPECT_FALSE(HasKilledFile(folder));
}

namespace {

// Everything in a file, as text (for files that are not logs).
std::string TextOf(const std::wstring& path)
{
    const std::vector<unsigned char> bytes = FileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

// Wine follows Linux symbolic links, and its CreateSymbolicLinkW makes none
// (and its DeleteFileW deletes a link's target): links are made and removed
// by Linux's own ln and rm, which Wine starts as it starts any Unix program,
// without a handle to wait on, so the test waits (bounded) for a file the
// same command makes afterwards. False where that cannot be done.
bool RunUnixCommand(const std::wstring& command, const std::vector<std::wstring>& paths)
{
    using UnixName = char*(CDECL*)(const wchar_t*);
    auto unixName = reinterpret_cast<UnixName>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (unixName == nullptr || paths.empty())
        return false;
    auto quoted = [unixName](const std::wstring& path) {
        char* unix = unixName(path.c_str());
        if (unix == nullptr)
            return std::wstring();
        std::wstring text = L" '" + std::wstring(unix, unix + strlen(unix)) + L"'";
        HeapFree(GetProcessHeap(), 0, unix);
        return text;
    };
    const std::wstring marker = paths.back() + L".done";
    std::wstring line = L"Z:\\bin\\sh -c \"" + command;
    for (const std::wstring& path : paths)
        line += quoted(path);
    line += L" && : >" + quoted(marker) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(L"Z:\\bin\\sh", line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return WaitUntil([&marker] { return FileExists(marker); }) && DeleteFileW(marker.c_str()) != FALSE;
}

// A symbolic link at `link` to `target`, removed again when the scope ends.
class PlantedSymbolicLink {
public:
    PlantedSymbolicLink(const std::wstring& link, const std::wstring& target)
        : link(link), planted(RunUnixCommand(L"ln -s", {target, link}))
    {
    }
    ~PlantedSymbolicLink()
    {
        if (planted)
            RunUnixCommand(L"rm -f", {link});
    }
    PlantedSymbolicLink(const PlantedSymbolicLink&) = delete;
    PlantedSymbolicLink& operator=(const PlantedSymbolicLink&) = delete;

    const std::wstring link;
    const bool planted;
};

// The file-facts seam: reports a reparse point of `ReparseTag` for a file whose
// full name ends with `ReparseName` (what Windows shows of a symbolic link
// opened as itself, or of a deduplicated file, and Wine cannot).
std::wstring ReparseName;
ULONG ReparseTag = 0;

NTSTATUS FactsWithReparsePoint(HANDLE file, LogFileFacts* facts)
{
    const NTSTATUS status = QueryLogFileFacts(file, facts);
    wchar_t name[1024];
    const DWORD units = GetFinalPathNameByHandleW(file, name, 1024, 0);
    if (status >= 0 && units > ReparseName.size() && units < 1024 &&
        _wcsicmp(name + units - ReparseName.size(), ReparseName.c_str()) == 0) {
        facts->attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
        facts->reparseTag = ReparseTag;
    }
    return status;
}

struct ReparsePointSeam {
    ReparsePointSeam(const std::wstring& name, ULONG tag)
    {
        ReparseName = name;
        ReparseTag = tag;
        LogFileFactsOf.store(&FactsWithReparsePoint);
    }
    ~ReparsePointSeam() { LogFileFactsOf.store(&QueryLogFileFacts); }
};

size_t CountOwnLines(const std::vector<std::wstring>& messages)
{
    return static_cast<size_t>(std::count_if(messages.begin(), messages.end(),
                                              [](const std::wstring& m) { return m.rfind(L"OlvLog: ", 0) == 0; }));
}

}  // namespace

// After a failed open or rotation the next attempt waits 1 s, each failure
// after it twice as long as the one before, up to a minute; the attempt is
// due at the tick its wait ends, not one before.
TEST(LogFileRetry, WaitsDoubleFromOneSecondToAMinuteToTheTick)
{
    LogFileRetry retry;
    uint32_t now = 0xFFFFF000;  // the waits run across the tick count's wrap
    EXPECT_TRUE(retry.Due(now));
    for (uint32_t wait : {1000u, 2000u, 4000u, 8000u, 16000u, 32000u, 60000u, 60000u}) {
        SCOPED_TRACE(wait);
        retry.Failed(LogFileTrouble::RotationBlocked, 0, now);
        EXPECT_FALSE(retry.Due(now + wait - 1));
        EXPECT_TRUE(retry.Due(now + wait));
        now += wait;
    }
    EXPECT_EQ(retry.Succeeded().attempts, 8u);
    EXPECT_TRUE(retry.Due(now));
}

// Someone who may write into the log's folder plants a name of the log's, so
// that a host logging as SYSTEM writes, empties or deletes a file of their
// choice: a hard link or a symbolic link (to a file elsewhere, or to a name
// where nothing is yet, which an open-if would create), or (Windows only, so
// through the seam) a symbolic link as Windows shows it. The live name is then
// no file the log can use: it does not open. At ".old" nothing is emptied,
// moved over or deleted: the live file grows on and says so once. A "killed."
// name is only ever renamed onto, which replaces the link, never its target.
// A reparse point that holds data (a deduplicated ".old") names no other file
// and is rotated over as any ".old".
TEST(LogFile, NamesPlantedAsLinksLeaveEveryFileOutsideTheFolderAlone)
{
    enum class Plant { HardLink, SymbolicLink, SymbolicLinkToNothing, ReparsePoint, DataReparsePoint };
    const struct {
        const wchar_t* name;
        Plant plant;
    } cases[] = {
        {L"trace.log", Plant::HardLink},          {L"trace.log", Plant::SymbolicLink},
        {L"trace.log", Plant::SymbolicLinkToNothing}, {L"trace.log", Plant::ReparsePoint},
        {L"trace.log.old", Plant::HardLink},      {L"trace.log.old", Plant::SymbolicLink},
        {L"trace.log.old", Plant::ReparsePoint},  {L"trace.log.old", Plant::DataReparsePoint},
        {L"killed.0", Plant::HardLink},           {L"killed.0", Plant::SymbolicLink},
    };
    const std::string victimText = "a file of someone else's";
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::string(c.name, c.name + wcslen(c.name)) << " "
                                        << static_cast<int>(c.plant));
        TempFolder folder;
        TempFolder elsewhere;
        const std::wstring path = folder / L"trace.log";
        const std::wstring planted = folder / c.name;
        const std::wstring victim = elsewhere / L"victim.txt";
        const std::wstring nothing = elsewhere / L"nothing.txt";
        ASSERT_TRUE(WriteFileBytes(victim, victimText));
        if (planted.find(L"killed.") != std::wstring::npos) {
            ASSERT_TRUE(WriteFileBytes(path + L".old", std::string("OLVLOG.0\xFF\xFE", 10) + std::string(14, '\0')));
        }
        std::optional<ReparsePointSeam> seam;
        std::optional<PlantedSymbolicLink> link;
        switch (c.plant) {
        case Plant::HardLink:
            ASSERT_TRUE(CreateHardLinkW(planted.c_str(), victim.c_str(), nullptr));
            break;
        case Plant::SymbolicLink:
            ASSERT_TRUE(link.emplace(planted, victim).planted);
            break;
        case Plant::SymbolicLinkToNothing:
            ASSERT_TRUE(link.emplace(planted, nothing).planted);
            break;
        case Plant::ReparsePoint:
        case Plant::DataReparsePoint:
            ASSERT_TRUE(WriteFileBytes(planted, victimText));
            seam.emplace(planted.substr(planted.rfind(L'\\')),
                         c.plant == Plant::ReparsePoint ? IO_REPARSE_TAG_SYMLINK : IO_REPARSE_TAG_DEDUP);
            break;
        }
        const bool liveName = planted == path;
        const bool usable = planted.find(L"killed.") != std::wstring::npos || c.plant == Plant::DataReparsePoint;
        {
            ScopedLog log(path, 1, 1024, false);
            ASSERT_EQ(log.result, liveName ? OlvLogFileFailed : OlvLogOpened);
            for (int i = 0; i < 60; ++i)
                OlvLog_Print(OlvLogError, L"line %d", i);
        }
        EXPECT_EQ(TextOf(victim), victimText);
        EXPECT_FALSE(FileExists(nothing));
        if (c.plant == Plant::ReparsePoint) {
            EXPECT_EQ(TextOf(planted), victimText);
        }
        if (usable) {
            EXPECT_FALSE(Messages(path + L".old").empty()) << "rotated over the planted name";
        } else if (!liveName) {
            const std::vector<std::wstring> messages = Messages(path);
            EXPECT_EQ(messages.size(), 61u) << "every line, and one saying why the file grows";
            EXPECT_EQ(CountOwnLines(messages), 1u);
        }
    }
}

// A reader that holds the live file without delete sharing (an editor, a
// backup or scanning tool) keeps it from moving to ".old". The log used to try
// the whole rotation again for every record while the file grew without
// bound. Now, with the clock standing still, 1,000 records past the limit cost
// one attempt: the file says why once, takes records up to its limit plus the
// overshoot and counts the rest; the first rotation after the reader has gone
// and the wait has passed tells what the wait cost, so that every record is
// either in ".old" or counted.
TEST(LogFile, AReaderWithoutDeleteSharingHoldsRotationOffWithinABoundAndTheCostIsTold)
{
    TempFolder folder;
    const std::wstring filler(120, L'f');  // records of about 300 bytes: 1,000 pass the overshoot
    const size_t n = Prefix(0x1000, OlvLogError).size();
    // The overshoot is a quarter of the limit, and at least one batch. A
    // 24-byte header and records of whole 16-byte blocks meet these bounds
    // (8 bytes past a multiple of 16) to the byte.
    const struct {
        uint64_t limit;
        uint64_t bound;
    } cases[] = {{4104, 4104 + 0x11000}, {278560, 278560 + 278560 / 4}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.limit);
        ManualClock clock(0x1000);
        const std::wstring path = folder / (L"held" + std::to_wstring(c.limit) + L".log");
        const auto size = [&path] {
            WIN32_FILE_ATTRIBUTE_DATA data{};
            GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
            return uint64_t{data.nFileSizeHigh} << 32 | data.nFileSizeLow;
        };
        int records = 0;
        {
            ScopedLog log(path, 1, c.limit, false);
            ASSERT_EQ(log.result, OlvLogOpened);
            UniqueFile reader(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(reader.valid());
            // (A file held below its bound stops the loop at the count.)
            for (int i = 0; i < 2000 && size() + 400 <= c.bound; ++i)
                OlvLog_Print(OlvLogError, L"record %d %s", records++, filler.c_str());
            // A record that brings the file to its bound is taken; none after it.
            const std::wstring last = L"record " + std::to_wstring(records++) + L" ";
            OlvLog_Print(OlvLogError, L"%s", MessageOfBytes(c.bound - size(), n, last).c_str());
            EXPECT_EQ(size(), c.bound);
            for (int i = 0; i < 1000; ++i)
                OlvLog_Print(OlvLogError, L"record %d %s", records++, filler.c_str());
            EXPECT_FALSE(FileExists(path + L".old"));
            EXPECT_EQ(size(), c.bound);
            EXPECT_EQ(CountOwnLines(Messages(path)), 1u);
            reader.reset();
            OlvLog_Print(OlvLogError, L"record %d %s", records++, filler.c_str());  // still within the wait
            EXPECT_FALSE(FileExists(path + L".old"));
            ManualClock::now.store(ManualClock::now.load() + RetryFirstInterval);
            OlvLog_Print(OlvLogError, L"record %d %s", records++, filler.c_str());
        }
        const std::vector<std::wstring> live = Messages(path);
        ASSERT_EQ(live.size(), 2u);
        unsigned since = 0, attempts = 0, dropped = 0;
        const std::wstring told = live[0].substr(live[0].find(L", from tick"));
        ASSERT_EQ(swscanf(told.c_str(), L", from tick %x on: %u attempts failed and %u records were not written",
                          &since, &attempts, &dropped),
                  3)
            << live[0];
        EXPECT_EQ(since, 0x1000u);
        EXPECT_EQ(attempts, 1u);
        EXPECT_EQ(live[1], L"record " + std::to_wstring(records - 1) + L" " + filler);
        const std::vector<std::wstring> old = Messages(path + L".old");
        EXPECT_EQ(old.size() - CountOwnLines(old) + dropped, static_cast<size_t>(records - 1));
        EXPECT_GT(dropped, 0u);
    }
}

// A file that another program made foreign (the encrypted magic in a plain
// log) and holds without delete sharing cannot be moved away, and records
// appended to it would decode under no header. The log used to stop for the
// rest of the process; now it tries again once the wait has passed, and the
// new file says what was lost meanwhile.
TEST(LogFile, AFileThatStaysForeignIsTriedAgainAfterAWaitAndTheGapIsTold)
{
    ScopedLogFlags flags(L"1");
    TempFolder folder;
    ManualClock clock(0x2000);
    const std::wstring path = folder / L"foreign.log";
    {
        ScopedLog log(path, 1, LargeFile, false);
        ASSERT_EQ(log.result, OlvLogOpened);
        OlvLog_Print(OlvLogError, L"before");
        ASSERT_TRUE(MoveFileW(path.c_str(), (folder / L"moved.log").c_str()));
        ASSERT_TRUE(WriteFileBytes(path, "OLVLOG.1" + std::string(68, 'k')));
        HANDLE holder = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(holder, INVALID_HANDLE_VALUE);
        // The log's handle goes behind its back: the next record reopens the name.
        ASSERT_EQ(ZwClose(CurrentLog.load()->file.get()), STATUS_SUCCESS);
        OlvLog_Print(OlvLogError, L"lost 1");
        OlvLog_Print(OlvLogError, L"lost 2");
        CloseHandle(holder);
        OlvLog_Print(OlvLogError, L"lost 3");  // still within the wait
        ManualClock::now.store(ManualClock::now.load() + RetryFirstInterval);
        OlvLog_Print(OlvLogError, L"after");
    }
    EXPECT_EQ(Messages(folder / L"moved.log"), std::vector<std::wstring>{L"before"});
    EXPECT_EQ(TextOf(path + L".old").substr(0, 8), "OLVLOG.1");
    const std::vector<std::wstring> live = Messages(path);
    ASSERT_EQ(live.size(), 2u);
    EXPECT_NE(live[0].find(L"could not be moved away, from tick 2000 on: 1 attempts failed and 3 records were not "
                           L"written"),
              std::wstring::npos)
        << live[0];
    EXPECT_EQ(live[1], L"after");
}
