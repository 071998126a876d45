// The roles this test executable plays when a test starts it again as a child
// process ("--log-child ROLE ARGS..."). The role runs from a static object's
// constructor, before GoogleTest starts, and ends the process itself.
#include "LogTestSupport.h"

#include "log/FlushParticipant.h"
#include "log/OlvLog.h"

#include <shellapi.h>

#include <cstdlib>
#include <string>

namespace {

using namespace logtest;

[[noreturn]] void FatalRole(const wchar_t* path, bool writerThread)
{
    if (OlvLog_Open(path, 1, 1 << 20, writerThread) != OlvLogOpened)
        ExitProcess(10);
    OlvLog_Print(OlvLogInfo, L"before the fatal line");
    OlvLog_Print(OlvLogFatal, L"fatal line %d", 5);
    ExitProcess(0);  // not reached: the fatal line traps
}

[[noreturn]] void FatalWithoutLogRole()
{
    for (unsigned level = 0; level < OlvLogFatal; ++level)
        OlvLog_Print(level, L"no log: %u", level);
    OlvLog_Print(OlvLogFatal, L"no log, fatal");
    ExitProcess(0);
}

// Appends `count` lines of one fixed length (96 units after padding), each as a
// record of its own, once the parent sets the start event.
[[noreturn]] void WriterRole(const wchar_t* path, unsigned id, unsigned count, uint64_t maxFileSize,
                             const wchar_t* startEvent)
{
    if (OlvLog_Open(path, 1, maxFileSize, false) != OlvLogOpened)
        ExitProcess(10);
    HANDLE start = OpenEventW(SYNCHRONIZE, FALSE, startEvent);
    if (start == nullptr || WaitForSingleObject(start, 10000) != WAIT_OBJECT_0)
        ExitProcess(11);
    CloseHandle(start);
    // Message "writer I line NNNNN " plus filler, so that prefix + message + CR LF
    // is 4 units short of 96: a prefix one tick digit longer or shorter still
    // pads to the same 96 units.
    const size_t prefix = Prefix(GetTickCount(), OlvLogError).size();
    const size_t filler = 96 - 4 - 2 - prefix - 20;
    const std::wstring fill(filler, L'x');
    for (unsigned i = 0; i < count; ++i)
        OlvLog_Print(OlvLogError, L"writer %u line %05u %s", id, i, fill.c_str());
    OlvLog_Close();
    ExitProcess(0);
}

// Opens the log (encrypted or not, as the inherited "OLVLOGFLAGS" says), writes
// one line and closes it.
[[noreturn]] void AppendRole(const wchar_t* path, const wchar_t* message)
{
    if (OlvLog_Open(path, 1, 1 << 20, false) != OlvLogOpened)
        ExitProcess(10);
    OlvLog_Print(OlvLogError, L"%s", message);
    OlvLog_Close();
    ExitProcess(0);
}

class CountingParticipant : public FlushParticipant {
public:
    void Flush() override { OlvLog_Print(OlvLogInfo, L"participant flushed"); }
};
CountingParticipant TeardownParticipant;

void FlushAfterTeardown()
{
    HANDLE thread = CreateThread(nullptr, 0, &OlvLog_FlushThread, reinterpret_cast<LPVOID>(0x7), 0, nullptr);
    DWORD code = 0;
    if (thread != nullptr && WaitForSingleObject(thread, 10000) == WAIT_OBJECT_0)
        GetExitCodeThread(thread, &code);
    if (thread != nullptr)
        CloseHandle(thread);
    OlvLog_Print(OlvLogInfo, L"flush exit code %u", static_cast<unsigned>(code));
}

// Registers a participant, flushes once, then exits normally: the exit-time
// teardown of the participants runs before FlushAfterTeardown, and the log is
// closed (by its own exit handler, registered first) after it.
[[noreturn]] void TeardownRole(const wchar_t* path)
{
    if (OlvLog_Open(path, 1, 1 << 20, false) != OlvLogOpened)
        ExitProcess(10);
    std::atexit(&FlushAfterTeardown);
    if (!RegisterFlushParticipant(&TeardownParticipant))
        ExitProcess(12);
    HANDLE thread = CreateThread(nullptr, 0, &OlvLog_FlushThread, reinterpret_cast<LPVOID>(0x6), 0, nullptr);
    if (thread == nullptr || WaitForSingleObject(thread, 10000) != WAIT_OBJECT_0)
        ExitProcess(13);
    CloseHandle(thread);
    std::exit(0);
}

// The buffer lock is held by a thread that no longer exists (as after a
// terminated holder at process exit): the process's only thread must get
// through instead of waiting for ever.
[[noreturn]] void DeadLockHolderRole(const wchar_t* path)
{
    if (OlvLog_Open(path, 1, 1 << 20, false) != OlvLogOpened)
        ExitProcess(10);
    HANDLE thread = CreateThread(nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr);
    if (thread == nullptr || WaitForSingleObject(thread, 10000) != WAIT_OBJECT_0)
        ExitProcess(11);
    CurrentLog.load()->bufferOwner.store(GetThreadId(thread));
    CloseHandle(thread);
    OlvLog_Print(OlvLogError, L"through the lock of a dead holder");
    OlvLog_Close();
    ExitProcess(0);
}

[[noreturn]] void RunRole(wchar_t** args, int count)
{
    std::wstring role = args[0];
    if (role == L"fatal-direct" && count == 2)
        FatalRole(args[1], false);
    if (role == L"fatal-writer" && count == 2)
        FatalRole(args[1], true);
    if (role == L"fatal-nolog")
        FatalWithoutLogRole();
    if (role == L"writer" && count == 6)
        WriterRole(args[1], static_cast<unsigned>(_wtoi(args[2])), static_cast<unsigned>(_wtoi(args[3])),
                   static_cast<uint64_t>(_wtoi64(args[4])), args[5]);
    if (role == L"append" && count == 3)
        AppendRole(args[1], args[2]);
    if (role == L"dead-holder" && count == 2)
        DeadLockHolderRole(args[1]);
    if (role == L"teardown" && count == 2)
        TeardownRole(args[1]);
    ExitProcess(99);
}

struct ChildRoleDispatcher {
    ChildRoleDispatcher()
    {
        int count = 0;
        wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
        if (args != nullptr && count >= 3 && std::wstring(args[1]) == L"--log-child")
            RunRole(args + 2, count - 2);
        if (args != nullptr)
            LocalFree(args);
    }
} Dispatcher;

}  // namespace
