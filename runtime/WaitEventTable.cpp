#include "runtime/WaitEventTable.h"

#include "runtime/FatalAssert.h"
#include "runtime/Impersonator.h"
#include "base/NtApi.h"
#include "base/ThreadQuery.h"
#include "base/UniqueHandle.h"

#include <aclapi.h>
#include <sddl.h>

#include <string>

namespace {

constexpr unsigned SectionNameAttempts = 15;
// Yields between two sleeps of a thread that waits for the spin word.
constexpr unsigned SpinsBeforeSleep = 4096;

std::atomic_ref<long> LockWordOf(WaitEventSection* view) noexcept
{
    return std::atomic_ref<long>(view->lockWord);
}

// The SIDs this process's objects are owned by: its user, and the token's
// default owner (Administrators for LocalSystem).
struct ProcessOwners {
    alignas(TOKEN_USER) BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    alignas(TOKEN_OWNER) BYTE owner[sizeof(TOKEN_OWNER) + SECURITY_MAX_SID_SIZE];

    bool Read() noexcept
    {
        UniqueToken token;
        DWORD size = 0;
        return OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()) &&
               GetTokenInformation(token.get(), TokenUser, user, sizeof user, &size) &&
               GetTokenInformation(token.get(), TokenOwner, owner, sizeof owner, &size);
    }
    PSID User() noexcept { return reinterpret_cast<TOKEN_USER*>(user)->User.Sid; }
    PSID Owner() noexcept { return reinterpret_cast<TOKEN_OWNER*>(owner)->Owner; }
};

// A descriptor for a new section: owned by the process's user, who alone may
// use it. Null when it cannot be made (the section then gets none, and the
// owner check below decides).
PSECURITY_DESCRIPTOR NewSectionDescriptor(PSID user) noexcept
{
    wchar_t* sid = nullptr;
    if (!ConvertSidToStringSidW(user, &sid))
        return nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    try {
        std::wstring text = std::wstring(L"O:") + sid + L"D:P(A;;GA;;;" + sid + L")";
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
            descriptor = nullptr;
    } catch (...) {
        descriptor = nullptr;
    }
    LocalFree(sid);
    return descriptor;
}

// True when the section is owned by this process's account. A section of
// another account (made in advance under the name, which holds only our
// process id) could hold handle values of its choosing and the spin word.
bool OwnedByThisAccount(HANDLE mapping, ProcessOwners& owners) noexcept
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(mapping, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS)
        return false;
    bool ours = owner && IsValidSid(owner) && (EqualSid(owner, owners.User()) || EqualSid(owner, owners.Owner()));
    LocalFree(descriptor);
    return ours;
}

// True for what this library stores: an idle (signalled) notification event
// of this process. A slot's value is only a number until this holds: anything
// else in the process may have written it, and what it names is not ours to
// use or close.
bool IsIdleEvent(HANDLE handle) noexcept
{
    OlvEventBasicInfo info{};
    return handle != nullptr && handle != INVALID_HANDLE_VALUE &&
           ZwQueryEvent(handle, OlvEventBasicInformation, &info, sizeof info, nullptr) >= 0 &&
           info.eventType == OlvNotificationEvent && info.eventState != 0;
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
        // As the process, not as a user the constructing thread may
        // impersonate: the section is the process's, with its owner.
        RevertToSelfScope asProcess;
        ProcessOwners owners;
        if (owners.Read()) {
            PSECURITY_DESCRIPTOR descriptor = NewSectionDescriptor(owners.User());
            SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
            DWORD processId = GetCurrentProcessId();
            for (unsigned attempt = 0; attempt < SectionNameAttempts; ++attempt) {
                wchar_t name[64];
                FormatWaitEventSectionName(name, attempt, processId);
                HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, descriptor ? &attributes : nullptr,
                                                    SEC_COMMIT | PAGE_READWRITE, 0, sizeof(WaitEventSection), name);
                if (!mapping)
                    continue;  // the name belongs to an object of another kind
                // Windows gives a section the owner its maker chose; one made
                // by another account is never joined. (Wine enforces neither
                // the descriptor nor the name's namespace, but keeps the
                // owner that a maker sets.)
                if (!OwnedByThisAccount(mapping, owners)) {
                    CloseHandle(mapping);
                    continue;
                }
                void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(WaitEventSection));
                if (!view) {
                    CloseHandle(mapping);
                    continue;
                }
                TableMapping = mapping;
                TableView.store(static_cast<WaitEventSection*>(view), std::memory_order_release);
                break;
            }
            if (descriptor)
                LocalFree(descriptor);
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
    // Each slot is checked after the spin word is given back (a kernel call
    // is no work for a spin lock); a slot that holds no idle event is dropped
    // from the table without being closed.
    for (long tries = 0; tries < WaitEventTableCapacity; ++tries) {
        if (!IsAlive() || !Lock())
            return nullptr;
        WaitEventSection* view = TableView.load(std::memory_order_acquire);
        long top = CheckedTop(view);
        if (top == 0) {
            Unlock();
            return nullptr;
        }
        --top;
        HANDLE event = view->events[top];
        view->events[top] = nullptr;
        view->top = top;
        Unlock();
        if (IsIdleEvent(event))
            return event;
    }
    return nullptr;
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
    HANDLE stored[WaitEventTableCapacity] = {};
    long count = 0;
    if (Lock()) {
        WaitEventSection* view = TableView.load(std::memory_order_acquire);
        count = CheckedTop(view);
        for (long slot = 0; slot < count; ++slot) {
            stored[slot] = view->events[slot];
            view->events[slot] = nullptr;
        }
        view->top = 0;
        Unlock();
    }
    // Only what is an idle event is ours to close (see IsIdleEvent).
    for (long slot = 0; slot < count; ++slot) {
        if (IsIdleEvent(stored[slot]))
            ZwClose(stored[slot]);
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
