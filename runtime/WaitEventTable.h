// A per-process pool of idle, signalled manual-reset events, shared by every
// module of the process that carries this library. The pool lives in the named
// section "OLV_WIEC_<attempt>_<pid hex>" and is guarded by a spin word inside
// the section; each module's own TableCreationLock only serialises the opening
// of the section within that module.
//
// Section layout (168 bytes, little-endian; every module relies on it):
//
//   offset | size | field    | meaning
//   -------+------+----------+-----------------------------------------------
//      0   |   4  | lockWord | 0 = free, 1 = held; only compare-and-swap and
//          |      |          | exchange touch it
//      4   |   4  | top      | number of stored events, 0..20
//      8   |  160 | events   | 20 event handles of this process; 0..top-1 valid
//
// The section is made owned by the process's user, who alone may use it, and
// a section of that name owned by another account is never joined (the next
// attempt number is tried): on Windows another account could make it first,
// since the name holds only our process id, and feed us handle values and a
// held spin word. The section can still be written by anything in the
// process, so `top` is checked under the lock on every use (a value outside
// 0..20 is taken as an empty table and repaired, and the slots it claimed are
// never touched), and a handle value taken from a slot is used or closed only
// when it is an idle (signalled) notification event; any other value is
// dropped from the table and left alone.
#pragma once

#include "runtime/ExclusiveLock.h"
#include "base/ThreadSafety.h"

#include <windows.h>

#include <atomic>

constexpr long WaitEventTableCapacity = 20;

struct WaitEventSection {
    long lockWord;
    long top;
    HANDLE events[WaitEventTableCapacity];
};
static_assert(sizeof(WaitEventSection) == 168, "the section layout is shared by every module of the process");

// One module's view of the process's pool. The module holds one instance
// (ModuleWaitEventTable); a second instance behaves like another module of the
// same process. The object stands for the section's spin word in the
// thread-safety analysis.
class OLV_CAPABILITY("mutex") WaitEventTable {
public:
    constexpr WaitEventTable() noexcept = default;
    // Unmaps and closes whatever Shutdown has not.
    ~WaitEventTable();

    WaitEventTable(const WaitEventTable&) = delete;
    WaitEventTable& operator=(const WaitEventTable&) = delete;

    // Module start-up: from now on the table may be opened and used.
    void Start() noexcept;

    // Module unload: the table is no longer opened or used by this module; the
    // stored events are closed (they are handles of this process, so any module
    // may close them; a slot that holds no idle event is left alone), and this
    // module's view and section handle are closed.
    // (Unchecked by the analysis: at unload no thread constructs a worker any
    // more, so Open, the only other user of TableMapping, cannot run.)
    void Shutdown() noexcept OLV_EXCLUDES(this) OLV_NO_THREAD_SAFETY_ANALYSIS;

    // Opens the section if needed and takes the spin word. True: the caller
    // holds the table and must call Unlock. False: there is no table.
    bool Lock() noexcept OLV_TRY_ACQUIRE(true) OLV_NO_THREAD_SAFETY_ANALYSIS;

    // Gives the spin word back; it must have been held (fatal assertion if not).
    void Unlock() noexcept OLV_RELEASE() OLV_NO_THREAD_SAFETY_ANALYSIS;

    // An idle, signalled event from the pool, or null when the pool is empty or
    // absent. Costs one event query (a kernel call) per slot taken.
    HANDLE TakeEvent() noexcept OLV_EXCLUDES(this);

    // Signals `event` and stores it. True: the pool owns it now. False (no
    // table, or the table is full): the caller still owns it and closes it.
    bool ReturnEvent(HANDLE event) noexcept OLV_EXCLUDES(this);

    bool IsAlive() const noexcept { return TableAlive.load(std::memory_order_acquire); }
    bool IsOpen() const noexcept { return TableView.load(std::memory_order_acquire) != nullptr; }

private:
    void Open() noexcept;
    // The number of valid slots; repairs a `top` outside 0..20 to 0.
    long CheckedTop(WaitEventSection* view) noexcept OLV_REQUIRES(this);

    HANDLE TableMapping OLV_GUARDED_BY(TableCreationLock) = nullptr;
    std::atomic<WaitEventSection*> TableView{nullptr};
    ExclusiveLock TableCreationLock;
    std::atomic<bool> TableAlive{false};
};

// This module's table, started and shut down with the module.
extern WaitEventTable ModuleWaitEventTable;

// The module table's lock and unlock, as the worker base uses them.
bool LockTable() noexcept OLV_TRY_ACQUIRE(true, ModuleWaitEventTable);
void UnlockTable() noexcept OLV_RELEASE(ModuleWaitEventTable);

// Formats the section name for one attempt (0..14) of process `processId` into
// `name`, which holds 64 wide characters.
void FormatWaitEventSectionName(wchar_t (&name)[64], unsigned attempt, DWORD processId) noexcept;
