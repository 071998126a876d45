#include "log/LogFileMutex.h"

#include <utility>

namespace {

constexpr int MutexAttempts = 300;
constexpr DWORD MutexRefusedPause = 50;
constexpr DWORD MutexWait = 15000;

}  // namespace

LogFileMutex::LogFileMutex() noexcept
{
    for (int attempt = 0; attempt < MutexAttempts; ++attempt) {
        SetLastError(0);
        UniqueMutex named(CreateMutexW(nullptr, FALSE, L"_OLVINTERNAL_LOG_"));
        if (named.valid()) {
            // An abandoned mutex is ours as well: its owner died mid-rotation,
            // and the next opener finishes the job.
            if (WaitForSingleObject(named.get(), MutexWait) != WAIT_TIMEOUT)
                mutex = std::move(named);
            return;
        }
        if (GetLastError() != ERROR_ACCESS_DENIED)
            return;
        Sleep(MutexRefusedPause);
    }
}

LogFileMutex::~LogFileMutex()
{
    if (mutex.valid())
        ReleaseMutex(mutex.get());
}
