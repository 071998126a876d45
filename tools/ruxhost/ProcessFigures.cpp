#include "tools/ruxhost/ProcessFigures.h"

#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <cstddef>
#include <vector>

namespace {

// The system's handle table, class SystemExtendedHandleInformation, which
// mingw's headers do not declare.
constexpr ULONG SystemExtendedHandleInformationClass = 64;
constexpr NTSTATUS StatusInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004L);
constexpr size_t HandleTableMaxBytes = 64u << 20;

struct HandleTableEntry {
    PVOID object;
    ULONG_PTR processId;
    ULONG_PTR handleValue;
    ULONG grantedAccess;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG handleAttributes;
    ULONG reserved;
};

struct HandleTable {
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleTableEntry entries[1];
};

// Wine's GetProcessHandleCount reads 0, also for the calling process; its
// system handle table is complete, so this process's entries are counted
// there instead. 0 when the table cannot be read.
DWORD CountOwnHandlesInSystemTable()
{
    std::vector<unsigned char> buffer(256 * 1024);
    for (;;) {
        ULONG needed = 0;
        NTSTATUS status = NtQuerySystemInformation(
            static_cast<SYSTEM_INFORMATION_CLASS>(SystemExtendedHandleInformationClass), buffer.data(),
            static_cast<ULONG>(buffer.size()), &needed);
        if (status == StatusInfoLengthMismatch && buffer.size() < HandleTableMaxBytes) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (status < 0)
            return 0;
        break;
    }
    auto table = reinterpret_cast<const HandleTable*>(buffer.data());
    size_t capacity = (buffer.size() - offsetof(HandleTable, entries)) / sizeof(HandleTableEntry);
    DWORD self = GetCurrentProcessId();
    DWORD count = 0;
    for (ULONG_PTR i = 0; i < table->count && i < capacity; ++i) {
        if (table->entries[i].processId == self)
            ++count;
    }
    return count;
}

DWORD CountOwnThreads()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    DWORD count = 0;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId())
            ++count;
    }
    CloseHandle(snapshot);
    return count;
}

}  // namespace

bool ProcessFigures::Sample(ProcessFigures& figures, DWORD& error)
{
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof(memory);
    if (!GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                              sizeof(memory))) {
        error = GetLastError();
        return false;
    }
    DWORD handles = 0;
    if (!GetProcessHandleCount(GetCurrentProcess(), &handles) || handles == 0)
        handles = CountOwnHandlesInSystemTable();
    figures.handles = handles;
    // Windows gives the commit charge in both fields; Wine fills only
    // PagefileUsage and leaves PrivateUsage at 0.
    figures.privateBytes = memory.PrivateUsage ? memory.PrivateUsage : memory.PagefileUsage;
    figures.threads = CountOwnThreads();
    return true;
}
