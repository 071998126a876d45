// Serialises the read-modify-write updates of the engine state between
// processes: a named mutex of the session namespace, held for the life of the
// object. Single value writes need no lock; the registry makes each one atomic.
#pragma once

#include "base/UniqueHandle.h"

#include <windows.h>

class StateLock {
public:
    // Waits at most timeoutMs. A mutex left by a process that ended counts as
    // acquired: its owner could only have left whole values behind.
    explicit StateLock(DWORD timeoutMs = 10000) noexcept;
    ~StateLock();
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

    // ERROR_SUCCESS when held; otherwise the reason (ERROR_TIMEOUT included).
    DWORD error() const noexcept { return error_; }

private:
    UniqueMutex mutex_;
    bool held_ = false;
    DWORD error_ = ERROR_SUCCESS;
};
