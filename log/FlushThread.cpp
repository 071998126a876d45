// The flush entry and the flush participants.
//
// The participant set and its (unnamed) mutex are created on first use, each
// behind its own once-guard, and torn down at process exit or module unload.
// The mutex is always created first, so it is torn down last: the set's
// teardown can still take it, and a flush that starts after the mutex is gone
// sees ParticipantsTornDown and leaves the set alone.
#include "log/FlushParticipant.h"
#include "log/OlvLog.h"
#include "log/ProcessLog.h"
#include "base/NtApi.h"
#include "base/OnceGuard.h"

#include <cstdlib>
#include <set>
#include <vector>

namespace {

constexpr NTSTATUS WaitAbandoned = 0x80;

OnceGuard ParticipantMutexGuard{0};
OnceGuard ParticipantSetGuard{0};
HANDLE FlushParticipantMutex = nullptr;
std::set<FlushParticipant*>* FlushParticipantSet = nullptr;
std::atomic<bool> ParticipantsTornDown{false};

void TearDownParticipantMutex()
{
    ParticipantsTornDown.store(true);
    HANDLE mutex = FlushParticipantMutex;
    FlushParticipantMutex = nullptr;
    if (mutex != nullptr)
        ZwClose(mutex);
}

bool TakeParticipantMutex(HANDLE mutex)
{
    NTSTATUS status = ZwWaitForSingleObject(mutex, FALSE, nullptr);
    return status == STATUS_SUCCESS || status == WaitAbandoned;
}

void TearDownParticipantSet()
{
    HANDLE mutex = FlushParticipantMutex;
    bool held = mutex != nullptr && TakeParticipantMutex(mutex);
    delete FlushParticipantSet;
    FlushParticipantSet = nullptr;
    if (held)
        ZwReleaseMutant(mutex, nullptr);
}

// The mutex, created on first use; null when it cannot be created.
HANDLE ParticipantMutex() noexcept
{
    RunOnce(ParticipantMutexGuard, [] {
        HANDLE mutex = nullptr;
        if (!NtIsError(ZwCreateMutant(&mutex, OlvMutantAllAccess, nullptr, FALSE)) && mutex != nullptr) {
            FlushParticipantMutex = mutex;
            std::atexit(&TearDownParticipantMutex);
        }
    });
    return FlushParticipantMutex;
}

void EnsureParticipantSet() noexcept
{
    try {
        RunOnce(ParticipantSetGuard, [] {
            FlushParticipantSet = new std::set<FlushParticipant*>;
            std::atexit(&TearDownParticipantSet);
        });
    } catch (...) {
        // Out of memory: the set stays absent and a later use tries again.
    }
}

// Holds the participant mutex for a scope; `held` is false when the set is
// unusable (torn down, or its mutex could not be made or taken).
class ParticipantSetLock {
public:
    ParticipantSetLock() noexcept
    {
        if (ParticipantsTornDown.load())
            return;
        mutex = ParticipantMutex();
        if (mutex == nullptr)
            return;
        EnsureParticipantSet();
        held = TakeParticipantMutex(mutex);
    }
    ~ParticipantSetLock()
    {
        if (held)
            ZwReleaseMutant(mutex, nullptr);
    }
    ParticipantSetLock(const ParticipantSetLock&) = delete;
    ParticipantSetLock& operator=(const ParticipantSetLock&) = delete;

    HANDLE mutex = nullptr;
    bool held = false;
};

void FlushParticipants() noexcept
{
    // The walk goes over a copy, so that the set may change while participants
    // flush; the copy outlives the lock.
    std::vector<FlushParticipant*> participants;
    ParticipantSetLock lock;
    if (!lock.held || FlushParticipantSet == nullptr)
        return;
    try {
        participants.assign(FlushParticipantSet->begin(), FlushParticipantSet->end());
    } catch (...) {
        return;
    }
    for (FlushParticipant* participant : participants) {
        try {
            participant->Flush();
        } catch (...) {
            // A participant's failure must not keep the others or the log unflushed.
        }
    }
}

}  // namespace

bool RegisterFlushParticipant(FlushParticipant* participant) noexcept
{
    ParticipantSetLock lock;
    if (!lock.held || FlushParticipantSet == nullptr)
        return false;
    try {
        FlushParticipantSet->insert(participant);
    } catch (...) {
        return false;
    }
    return true;
}

void UnregisterFlushParticipant(FlushParticipant* participant) noexcept
{
    ParticipantSetLock lock;
    if (lock.held && FlushParticipantSet != nullptr)
        FlushParticipantSet->erase(participant);
}

void FlushCurrentLog() noexcept
{
    if (CurrentLog.load() == nullptr)
        return;
    // Counted in like a log call, so that a closing log is not freed under us.
    ++LogCallersInFlight;
    if (ProcessLog* log = CurrentLog.load(); log != nullptr) {
        LogSpinLockHolder batch(log->bufferLock);
        SendBatch(log, SubmitOwned);
    }
    --LogCallersInFlight;
}

extern "C" DWORD WINAPI OlvLog_FlushThread(LPVOID parameter)
{
    OlvLog_Print(OlvLogImportant, L"OlvLog_FlushThread(0x%x)",
                 static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(parameter)));
    FlushParticipants();
    // Also sends what the participants logged while flushing.
    FlushCurrentLog();
    ExitThread(CurrentLog.load() != nullptr ? 1 : 2);
}
