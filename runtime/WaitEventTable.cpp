#include "runtime/WaitEventTable.h"

#include "runtime/FatalAssert.h"
#include "base/NtApi.h"
#include "base/ThreadQuery.h"

namespace {

constexpr unsigned SectionNameAttempts = 15;
// Yields between two sleeps of a thread that waits for the spin word.
constexpr unsigned SpinsBeforeSleep = 4096;

std::atomic_ref<long> LockWordOf(WaitEventSection* view) noexcept
{
    return std::atomic_ref<long>(view->lockWord);
}

}  // namespace

void FormatWaitEventSectionName(wchar_t (&name)[64], unsigned attempt, DWORD processId) noexcept
{
    wsprintfW(name, L"OLV_WIEC_%u_%x", attempt, processId);
}

WaitEventTable::~WaitEventTable()
{
    if (WaitEventSection* view = TableView.exchange(nullptr, std::memory_order_acq_rel))
        UnmapViewOfFile(view);
    if (TableMapping) {
        CloseHandle(TableMapping);
        TableMapping = nullptr;
    }
}

void WaitEventTable::Start() noexcept
{
    TableAlive.store(true, std::memory_order_release);
}

void WaitEventTable::Open() noexcept
{
    // Opening happens inside a worker's construction: the caller's last-error
    // value must survive CreateFileMappingW (183 for an existing section).
    DWORD savedError = GetLastError();
    ExclusiveLockHolder creation(TableCreationLock);
    if (!TableView.load(std::memory_order_acquire) && IsAlive()) {
        DWORD processId = GetCurrentProcessId();
        for (unsigned attempt = 0; attempt < SectionNameAttempts; ++attempt) {
            wchar_t name[64];
            FormatWaitEventSectionName(name, attempt, processId);
            HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, SEC_COMMIT | PAGE_READWRITE, 0,
                                                sizeof(WaitEventSection), name);
            if (!mapping)
                continue;  // the name belongs to an object of another kind
            void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(WaitEventSection));
            if (!view) {
                CloseHandle(mapping);
                continue;
            }
            TableMapping = mapping;
            TableView.store(static_cast<WaitEventSection*>(view), std::memory_order_release);
            break;
        }
    }
    SetLastError(savedError);
}

bool WaitEventTable::Lock() noexcept
{
    if (!TableView.load(std::memory_order_acquire) && IsAlive())
        Open();

    unsigned spins = 0;
    for (;;) {
        WaitEventSection* view = TableView.load(std::memory_order_acquire);
        if (!view)
            return false;
        std::atomic_ref<long> lockWord = LockWordOf(view);
        long expected = 0;
        if (lockWord.compare_exchange_strong(expected, 1, std::memory_order_acquire))
            return true;
        ZwYieldExecution();
        if (spins > SpinsBeforeSleep) {
            if (IsLastThread()) {
                // The holder no longer exists and nobody else can take the word.
                lockWord.store(1, std::memory_order_seq_cst);
                return true;
            }
            Sleep(1);
            spins = 0;
        }
        ++spins;
    }
}

void WaitEventTable::Unlock() noexcept
{
    WaitEventSection* view = TableView.load(std::memory_order_acquire);
    FatalUnless(view != nullptr);
    long previous = LockWordOf(view).exchange(0, std::memory_order_release);
    FatalUnless(previous == 1);
}

long WaitEventTable::CheckedTop(WaitEventSection* view) noexcept
{
    long top = view->top;
    if (top < 0 || top > WaitEventTableCapacity) {
        // Not written by this library: forget the claimed slots rather than
        // index outside the section or close handles nobody stored.
        view->top = 0;
        return 0;
    }
    return top;
}

HANDLE WaitEventTable::TakeEvent() noexcept
{
    if (!IsAlive() || !Lock())
        return nullptr;
    WaitEventSection* view = TableView.load(std::memory_order_acquire);
    HANDLE event = nullptr;
    long top = CheckedTop(view);
    if (top > 0) {
        --top;
        event = view->events[top];
        view->events[top] = nullptr;
        view->top = top;
    }
    Unlock();
    return event;
}

bool WaitEventTable::ReturnEvent(HANDLE event) noexcept
{
    if (!IsAlive())
        return false;
    // Stored events are idle: the next worker finds its event signalled.
    ZwSetEvent(event, nullptr);
    if (!Lock())
        return false;
    WaitEventSection* view = TableView.load(std::memory_order_acquire);
    bool stored = false;
    long top = CheckedTop(view);
    if (top < WaitEventTableCapacity) {
        view->events[top] = event;
        view->top = top + 1;
        stored = true;
    }
    Unlock();
    return stored;
}

void WaitEventTable::Shutdown() noexcept
{
    // Workers destroyed from now on close their events themselves.
    TableAlive.store(false, std::memory_order_release);
    if (Lock()) {
        WaitEventSection* view = TableView.load(std::memory_order_acquire);
        long top = CheckedTop(view);
        for (long slot = 0; slot < top; ++slot) {
            ZwClose(view->events[slot]);
            view->events[slot] = nullptr;
        }
        view->top = 0;
        Unlock();
    }
    if (WaitEventSection* view = TableView.exchange(nullptr, std::memory_order_acq_rel))
        UnmapViewOfFile(view);
    if (TableMapping) {
        CloseHandle(TableMapping);
        TableMapping = nullptr;
    }
}

bool LockTable() noexcept
{
    return ModuleWaitEventTable.Lock();
}

void UnlockTable() noexcept
{
    ModuleWaitEventTable.Unlock();
}
