#include "log/LogFileMutex.h"

namespace {

constexpr int MutexAttempts = 300;
constexpr DWORD MutexRefusedPause = 50;
constexpr DWORD MutexWait = 15000;

}  // namespace

LogFileMutex::LogFileMutex() noexcept
{
    for (int attempt = 0; attempt < MutexAttempts; ++attempt) {
        SetLastError(0);
        HANDLE mutex = CreateMutexW(nullptr, FALSE, L"_OLVINTERNAL_LOG_");
        if (mutex != nullptr) {
            // An abandoned mutex is ours as well: its owner died mid-rotation,
            // and the next opener finishes the job.
            if (WaitForSingleObject(mutex, MutexWait) == WAIT_TIMEOUT)
                CloseHandle(mutex);
            else
                handle = mutex;
            return;
        }
        if (GetLastError() != ERROR_ACCESS_DENIED)
            return;
        Sleep(MutexRefusedPause);
    }
}

LogFileMutex::~LogFileMutex()
{
    if (handle != nullptr) {
        ReleaseMutex(handle);
        CloseHandle(handle);
    }
}
