// The cross-process mutex "_OLVINTERNAL_LOG_", which serialises opening and
// rotating log files among all processes of the session.
//
// Holding it is never required for progress: when it cannot be had (refused
// 300 times, or held elsewhere for 15 s) the holder goes on without it.
#pragma once

#include "base/UniqueHandle.h"

#include <windows.h>

class LogFileMutex {
public:
    // Acquires the mutex, or gives up as described above.
    LogFileMutex() noexcept;
    // Releases the mutex if it was acquired.
    ~LogFileMutex();

    LogFileMutex(const LogFileMutex&) = delete;
    LogFileMutex& operator=(const LogFileMutex&) = delete;

    bool held() const noexcept { return mutex.valid(); }

private:
    UniqueMutex mutex;  // held while it is valid
};
