#include "runtime/WaitEventTable.h"

#include "base/NtApi.h"
#include "base/ThreadQuery.h"
#include "base/UniqueHandle.h"
#include "runtime/tests/LockTestSupport.h"
#include "tests/support/ChildScenario.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <climits>
#include <memory>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

std::wstring SectionName(unsigned attempt)
{
    wchar_t name[64];
    FormatWaitEventSectionName(name, attempt, GetCurrentProcessId());
    return name;
}

// A view of this process's section, opened independently of the library.
class SectionView {
public:
    explicit SectionView(unsigned attempt = 0)
        : mapping(OpenFileMappingW(FILE_MAP_WRITE, FALSE, SectionName(attempt).c_str())),
          view(mapping.valid() ? static_cast<WaitEventSection*>(MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, 0))
                               : nullptr)
    {
    }
    WaitEventSection* operator->() const { return view.get(); }
    explicit operator bool() const { return view != nullptr; }

private:
    struct Unmap {
        void operator()(WaitEventSection* section) const { UnmapViewOfFile(section); }
    };
    UniqueHandle<HANDLE, ::CloseHandle> mapping;
    std::unique_ptr<WaitEventSection, Unmap> view;  // unmapped before the mapping closes
};

HANDLE NewIdleEvent()
{
    HANDLE event = nullptr;
    ZwCreateEvent(&event, OlvEventAllAccess, nullptr, OlvNotificationEvent, TRUE);
    return event;
}

TEST(WaitEventTable, SectionNameCarriesTheAttemptAndTheProcessIdInHex)
{
    struct Row {
        unsigned attempt;
        DWORD processId;
        const wchar_t* expected;
    };
    const Row rows[] = {
        {0, 0x1a2b, L"OLV_WIEC_0_1a2b"},
        {1, 0x20, L"OLV_WIEC_1_20"},
        {14, 0xABCDEF, L"OLV_WIEC_14_abcdef"},
        {0, 0xFFFFFFFF, L"OLV_WIEC_0_ffffffff"},
    };
    for (const Row& row : rows) {
        wchar_t name[64];
        FormatWaitEventSectionName(name, row.attempt, row.processId);
        EXPECT_STREQ(name, row.expected);
    }
}

TEST(WaitEventTable, FirstUseCreatesTheSectionOfAttemptZero)
{
    ASSERT_TRUE(LockTable());
    UnlockTable();
    SectionView section(0);
    ASSERT_TRUE(section);
    EXPECT_EQ(section->lockWord, 0);
}

TEST(WaitEventTable, TwentyEventsFillTheTableAndTheTwentyFirstIsRefused)
{
    DrainPool();
    std::vector<HANDLE> events;
    for (int i = 0; i < 21; ++i)
        events.push_back(NewIdleEvent());
    for (int i = 0; i < 20; ++i)
        EXPECT_TRUE(ModuleWaitEventTable.ReturnEvent(events[i])) << i;
    EXPECT_FALSE(ModuleWaitEventTable.ReturnEvent(events[20]));
    ZwClose(events[20]);

    SectionView section;
    ASSERT_TRUE(section);
    EXPECT_EQ(section->top, 20);
    // Last in, first out; each comes back signalled.
    for (int i = 19; i >= 0; --i) {
        HANDLE taken = ModuleWaitEventTable.TakeEvent();
        EXPECT_EQ(taken, events[i]);
        EXPECT_EQ(WaitForSingleObject(taken, 0), WAIT_OBJECT_0);
        ZwClose(taken);
    }
    EXPECT_EQ(ModuleWaitEventTable.TakeEvent(), nullptr);
}

TEST(WaitEventTable, ReturnedEventIsSignalledForItsNextUser)
{
    DrainPool();
    HANDLE event = NewIdleEvent();
    ResetEvent(event);
    ASSERT_TRUE(ModuleWaitEventTable.ReturnEvent(event));
    HANDLE taken = ModuleWaitEventTable.TakeEvent();
    ASSERT_EQ(taken, event);
    EXPECT_EQ(WaitForSingleObject(taken, 0), WAIT_OBJECT_0);
    ZwClose(taken);
}

TEST(WaitEventTable, CorruptedTopIsTakenAsAnEmptyTableAndRepaired)
{
    const long corrupted[] = {-1, 21, 0x7FFFFFFF, LONG_MIN, 1000};
    for (long top : corrupted) {
        DrainPool();
        SectionView section;
        ASSERT_TRUE(section);
        section->top = top;
        EXPECT_EQ(ModuleWaitEventTable.TakeEvent(), nullptr) << top;
        EXPECT_EQ(section->top, 0) << top;

        section->top = top;
        HANDLE event = NewIdleEvent();
        EXPECT_TRUE(ModuleWaitEventTable.ReturnEvent(event)) << top;
        EXPECT_EQ(section->top, 1) << top;
        EXPECT_EQ(section->events[0], event);
        EXPECT_EQ(section->lockWord, 0);
    }
    DrainPool();
}

// A slot's value is a number anything in the process may have written: what
// is not an idle notification event is neither handed to a worker (a reset
// one would hang its Start; a mutex would be waited on and closed as an
// event) nor closed at unload, and the table goes on.
TEST(WaitEventTable, SlotThatHoldsNoIdleEventIsDroppedAndLeftOpen)
{
    UniqueMutex mutex(CreateMutexW(nullptr, FALSE, nullptr));
    UniqueEvent autoReset(CreateEventW(nullptr, FALSE, TRUE, nullptr));
    UniqueEvent reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const HANDLE planted[] = {mutex.get(), autoReset.get(), reset.get(), reinterpret_cast<HANDLE>(0x7FF0)};
    for (HANDLE value : planted) {
        DrainPool();
        HANDLE idle = NewIdleEvent();
        ASSERT_TRUE(ModuleWaitEventTable.ReturnEvent(idle));
        SectionView section;
        ASSERT_TRUE(section);
        // Every slot above the idle event holds the planted value: one take
        // looks at all 20.
        for (long slot = 1; slot < WaitEventTableCapacity; ++slot)
            section->events[slot] = value;
        section->top = WaitEventTableCapacity;
        EXPECT_EQ(ModuleWaitEventTable.TakeEvent(), idle) << value;
        EXPECT_EQ(section->top, 0) << value;
        ZwClose(idle);

        WaitEventTable other;  // another module, unloading over a planted slot
        other.Start();
        ASSERT_TRUE(other.Lock());
        other.Unlock();
        section->events[0] = value;
        section->top = 1;
        other.Shutdown();
        EXPECT_EQ(section->top, 0) << value;
    }
    for (HANDLE handle : {mutex.get(), autoReset.get(), reset.get()})
        EXPECT_TRUE(IsOpenHandle(handle));
}

TEST(WaitEventTable, SecondModuleJoinsTheSamePool)
{
    DrainPool();
    {
        WaitEventTable other;  // another module's view of the same process pool
        other.Start();
        HANDLE event = NewIdleEvent();
        ASSERT_TRUE(other.ReturnEvent(event));
        EXPECT_EQ(ModuleWaitEventTable.TakeEvent(), event);
        ASSERT_TRUE(ModuleWaitEventTable.ReturnEvent(event));
        EXPECT_EQ(other.TakeEvent(), event);
        ZwClose(event);

        // Its unload empties the shared pool but leaves the section to the rest.
        HANDLE stored = NewIdleEvent();
        ASSERT_TRUE(ModuleWaitEventTable.ReturnEvent(stored));
        other.Shutdown();
        EXPECT_FALSE(IsOpenHandle(stored));
        EXPECT_FALSE(other.Lock());
    }
    EXPECT_EQ(ModuleWaitEventTable.TakeEvent(), nullptr);
    HANDLE again = NewIdleEvent();
    EXPECT_TRUE(ModuleWaitEventTable.ReturnEvent(again));
    DrainPool();
}

TEST(WaitEventTable, OpeningTheTableKeepsTheCallersLastError)
{
    WaitEventTable other;  // opens the existing section: CreateFileMappingW says 183
    other.Start();
    SetLastError(0x0BADF00D);
    ASSERT_TRUE(other.Lock());
    other.Unlock();
    EXPECT_EQ(GetLastError(), 0x0BADF00Du);
    EXPECT_TRUE(other.IsOpen());
}

TEST(WaitEventTable, ThreadsOfTwoModulesNeverShareOneEvent)
{
    DrainPool();
    WaitEventTable other;
    other.Start();
    std::vector<HANDLE> seed;
    for (int i = 0; i < 10; ++i) {
        seed.push_back(NewIdleEvent());
        ASSERT_TRUE(ModuleWaitEventTable.ReturnEvent(seed.back()));
    }
    // Each thread holds one event at a time and returns it; two holders of one
    // handle at once would show as a reset seen by the other.
    std::atomic<long> doubleUse{0};
    {
        std::vector<std::unique_ptr<TestThread>> threads;
        for (int t = 0; t < 4; ++t)
            threads.push_back(std::make_unique<TestThread>([&, t] {
                WaitEventTable& table = t % 2 ? other : ModuleWaitEventTable;
                for (int i = 0; i < 500; ++i) {
                    HANDLE event = table.TakeEvent();
                    if (!event)
                        continue;
                    if (WaitForSingleObject(event, 0) != WAIT_OBJECT_0)
                        ++doubleUse;
                    ResetEvent(event);
                    if (!table.ReturnEvent(event))
                        ++doubleUse;  // the pool cannot be full: only ten events exist
                }
            }));
        for (auto& thread : threads)
            ASSERT_TRUE(thread->Join(60000));
    }
    EXPECT_EQ(doubleUse.load(), 0);
    SectionView section;
    ASSERT_TRUE(section);
    EXPECT_EQ(section->top, 10);
    EXPECT_EQ(section->lockWord, 0);
    DrainPool();
}

// SectionNamesTaken N: mutexes hold the names of attempts 0 to N - 1, so the
// table is created under attempt N, or, when all 15 names are taken, not at all.
OLV_CHILD_SCENARIO(SectionNamesTaken)
{
    const unsigned taken = static_cast<unsigned>(std::stoul(args.at(0)));
    std::vector<UniqueMutex> squatters;
    for (unsigned attempt = 0; attempt < taken; ++attempt) {
        squatters.emplace_back(CreateMutexW(nullptr, FALSE, SectionName(attempt).c_str()));
        if (!squatters.back().valid())
            return 3;
    }
    if (!LockTable())
        return taken == 15 ? 0 : 4;
    UnlockTable();
    return taken < 15 && SectionView(taken) ? 0 : 5;
}

TEST(WaitEventTable, TakenNamesMoveTheTableToTheNextOfFifteenAttempts)
{
    for (const wchar_t* taken : {L"1", L"14", L"15"})
        EXPECT_EQ(RunChildScenario("SectionNamesTaken", {taken}).exitCode, 0u) << taken;
}

// Another account (SYSTEM stands for it: Wine lets a process set any owner)
// made the section of attempt 0 first and put an idle event of ours in it.
// The table used to join it and hand that event out.
OLV_CHILD_SCENARIO(SectionOfAttemptZeroMadeByAnotherAccount)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:SYD:(A;;GA;;;WD)", SDDL_REVISION_1, &descriptor,
                                                              nullptr))
        return 3;
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    HANDLE foreign = CreateFileMappingW(INVALID_HANDLE_VALUE, &attributes, SEC_COMMIT | PAGE_READWRITE, 0,
                                        sizeof(WaitEventSection), SectionName(0).c_str());
    LocalFree(descriptor);
    if (!foreign)
        return 4;
    auto* planted = static_cast<WaitEventSection*>(MapViewOfFile(foreign, FILE_MAP_WRITE, 0, 0, 0));
    if (!planted)
        return 5;
    HANDLE bait = NewIdleEvent();
    planted->events[0] = bait;
    planted->top = 1;

    if (ModuleWaitEventTable.TakeEvent() != nullptr)
        return 6;  // the foreign section was joined
    SectionView ours(1);
    if (!ours || planted->top != 1 || !IsOpenHandle(bait))
        return 7;
    return 0;
}

TEST(WaitEventTable, SectionMadeByAnotherAccountIsNotJoined)
{
    EXPECT_EQ(RunChildScenario("SectionOfAttemptZeroMadeByAnotherAccount").exitCode, 0u);
}

// After the module's table has been shut down, a table that was never opened
// stays unopened: no section is created.
OLV_CHILD_SCENARIO(LockAfterShutdownOfAnUnopenedTable)
{
    ModuleWaitEventTable.Shutdown();
    if (LockTable())
        return 3;
    SectionView section(0);
    return section ? 4 : 0;
}

TEST(WaitEventTable, NoSectionIsCreatedAfterTheModuleShutItsTableDown)
{
    EXPECT_EQ(RunChildScenario("LockAfterShutdownOfAnUnopenedTable").exitCode, 0u);
}

// A thread takes the spin word and ends; the main thread, alone, takes it by
// force after its spins.
OLV_CHILD_SCENARIO(TableLockLeftHeldByAnEndedThread)
{
    static bool held = false;
    if (!RunOnThreadThatEnds([](LPVOID) -> DWORD {
            held = LockTable();
            return 0;
        }) ||
        !held)
        return 3;
    if (!LockTable())
        return 4;
    UnlockTable();
    return 0;
}

TEST(WaitEventTable, LastThreadTakesASpinWordLeftHeldByAnEndedThread)
{
    EXPECT_EQ(RunChildScenario("TableLockLeftHeldByAnEndedThread").exitCode, 0u);
}

OLV_CHILD_SCENARIO(UnlockOfAFreeTable)
{
    if (!LockTable())
        return 3;
    UnlockTable();
    UnlockTable();
    return 0;
}

TEST(WaitEventTable, UnlockingAFreeTableIsFatal)
{
    EXPECT_EQ(RunChildScenario("UnlockOfAFreeTable").exitCode, BreakpointExitCode);
}

}  // namespace
