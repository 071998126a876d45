// The scenarios this test executable plays when a test starts it again as a
// child process (tests/support/ChildScenario.h).
#include "LogTestSupport.h"

#include "log/FlushParticipant.h"
#include "log/OlvLog.h"

#include <cstdlib>
#include <string>
#include <utility>

namespace {

using namespace logtest;

int FatalLine(const std::wstring& path, bool writerThread)
{
    if (OlvLog_Open(path.c_str(), 1, 1 << 20, writerThread) != OlvLogOpened)
        return 10;
    OlvLog_Print(OlvLogInfo, L"before the fatal line");
    OlvLog_Print(OlvLogFatal, L"fatal line %d", 5);
    return 0;  // not reached: the fatal line traps
}

}  // namespace

// FatalDirect PATH, FatalThroughWriter PATH: the fatal line written by the
// caller or by the writer thread.
OLV_CHILD_SCENARIO(FatalDirect)
{
    return FatalLine(args.at(0), false);
}

OLV_CHILD_SCENARIO(FatalThroughWriter)
{
    return FatalLine(args.at(0), true);
}

OLV_CHILD_SCENARIO(FatalWithoutLog)
{
    for (unsigned level = 0; level < OlvLogFatal; ++level)
        OlvLog_Print(level, L"no log: %u", level);
    OlvLog_Print(OlvLogFatal, L"no log, fatal");
    return 0;
}

// Writer PATH ID COUNT MAX_FILE_SIZE START_EVENT: appends COUNT lines of one
// fixed length (96 units after padding), each as a record of its own, once the
// parent sets the start event.
OLV_CHILD_SCENARIO(Writer)
{
    const unsigned id = static_cast<unsigned>(std::stoul(args.at(1)));
    const unsigned count = static_cast<unsigned>(std::stoul(args.at(2)));
    if (OlvLog_Open(args.at(0).c_str(), 1, std::stoull(args.at(3)), false) != OlvLogOpened)
        return 10;
    HANDLE start = OpenEventW(SYNCHRONIZE, FALSE, args.at(4).c_str());
    if (start == nullptr || WaitForSingleObject(start, 10000) != WAIT_OBJECT_0)
        return 11;
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
    return 0;
}

// WriteAcrossARotation PATH MAX_FILE_SIZE READY_EVENT GO_EVENT: writes "child
// before", sets the ready event, and writes "child after" once the parent sets
// the go event (the parent rotates the file in between).
OLV_CHILD_SCENARIO(WriteAcrossARotation)
{
    if (OlvLog_Open(args.at(0).c_str(), 1, std::stoull(args.at(1)), false) != OlvLogOpened)
        return 10;
    OlvLog_Print(OlvLogError, L"child before");
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, args.at(2).c_str());
    HANDLE go = OpenEventW(SYNCHRONIZE, FALSE, args.at(3).c_str());
    const bool released = ready != nullptr && go != nullptr && SetEvent(ready) &&
                          WaitForSingleObject(go, 20000) == WAIT_OBJECT_0;
    if (ready != nullptr)
        CloseHandle(ready);
    if (go != nullptr)
        CloseHandle(go);
    if (!released)
        return 11;
    OlvLog_Print(OlvLogError, L"child after");
    OlvLog_Close();
    return 0;
}

// Append PATH MESSAGE
OLV_CHILD_SCENARIO(Append)
{
    return AppendOneLine(args.at(0), args.at(1));
}

namespace {

HANDLE KeyWaiting = nullptr;
HANDLE KeyPlanted = nullptr;

// The first pause of an opener that waits for the key value: tells the parent
// (EVENTS-waiting) and lasts until the parent has stored a value
// (EVENTS-planted).
void WINAPI PauseUntilPlanted(DWORD)
{
    if (HANDLE waiting = std::exchange(KeyWaiting, nullptr)) {
        SetEvent(waiting);
        WaitForSingleObject(KeyPlanted, 30000);
    }
}

}  // namespace

// AppendOnceTheKeyWaits PATH MESSAGE EVENTS: Append, by an opener that finds
// the key without a value and waits for the parent to store one.
OLV_CHILD_SCENARIO(AppendOnceTheKeyWaits)
{
    KeyWaiting = OpenEventW(EVENT_MODIFY_STATE, FALSE, (args.at(2) + L"-waiting").c_str());
    KeyPlanted = OpenEventW(SYNCHRONIZE, FALSE, (args.at(2) + L"-planted").c_str());
    if (KeyWaiting == nullptr || KeyPlanted == nullptr)
        return 11;
    LogKeyValuePause.store(&PauseUntilPlanted);
    return AppendOneLine(args.at(0), args.at(1));
}

namespace {

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

}  // namespace

// Teardown PATH: registers a participant, flushes once, then exits normally:
// the exit-time teardown of the participants runs before FlushAfterTeardown,
// and the log is closed (by its own exit handler, registered first) after it.
OLV_CHILD_SCENARIO(Teardown)
{
    if (OlvLog_Open(args.at(0).c_str(), 1, 1 << 20, false) != OlvLogOpened)
        return 10;
    std::atexit(&FlushAfterTeardown);
    if (!RegisterFlushParticipant(&TeardownParticipant))
        return 12;
    HANDLE thread = CreateThread(nullptr, 0, &OlvLog_FlushThread, reinterpret_cast<LPVOID>(0x6), 0, nullptr);
    if (thread == nullptr || WaitForSingleObject(thread, 10000) != WAIT_OBJECT_0)
        return 13;
    CloseHandle(thread);
    return 0;
}

// DeadLockHolder PATH: the buffer lock is held by a thread that no longer
// exists (as after a terminated holder at process exit): the process's only
// thread must get through instead of waiting for ever.
OLV_CHILD_SCENARIO(DeadLockHolder)
{
    if (OlvLog_Open(args.at(0).c_str(), 1, 1 << 20, false) != OlvLogOpened)
        return 10;
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            CurrentLog.load()->bufferLock.Acquire();
            return 0;  // ends holding it
        },
        nullptr, 0, nullptr);
    if (thread == nullptr || WaitForSingleObject(thread, 10000) != WAIT_OBJECT_0)
        return 11;
    CloseHandle(thread);
    OlvLog_Print(OlvLogError, L"through the lock of a dead holder");
    OlvLog_Close();
    return 0;
}
