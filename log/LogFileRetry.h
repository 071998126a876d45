// What keeps a log from its file, and how the log tries again.
//
// An open or a rotation that fails is not tried again for every record: each
// record would repeat the whole of it (the named mutex, the registry, a key
// seal, a header read) and the log would cost a thousand times its usual
// price. After a failure the next attempt waits RetryFirstInterval, and each
// further failure doubles the wait up to RetryLongestInterval; a success ends
// the run of failures. Meanwhile:
//   - without a file, records are dropped and counted;
//   - with a full file that could not be rotated, records still go to it
//     until it holds its limit plus RotationOvershoot, then they are dropped
//     and counted (a name that takes no ".old" at all is only reopened and
//     grows on, as it always did: its opener chose it).
// The log says once per run why (a line in the file, or, when there is no
// file to write to, the debugger's output), and when the run ends, a line in
// the file tells how long it lasted, how many attempts failed and how many
// records were not written.
//
// Lives in the ProcessLog under its file lock; times are ticks of LogTickCount.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <cstdint>

enum class LogFileTrouble : uint8_t {
    None,
    NameNotRotatable,  // the name takes no ".old": the file is only reopened
    RotationBlocked,   // the full file could not be moved to ".old" (a status)
    OldNameRefused,    // ".old" is a link or a reparse point (LogFileName.h)
    LiveNameRefused,   // the live name is a link or a reparse point
    OpenFailed,        // the file could neither be opened nor created (a status)
    ForeignNotMoved,   // begun under another key or format, and not movable
    IdentityKept,      // the thread's impersonation could not be set aside
};

// Why, in the words of the log's own lines.
const wchar_t* LogFileTroubleText(LogFileTrouble trouble) noexcept;

constexpr uint32_t RetryFirstInterval = 1000;
constexpr uint32_t RetryLongestInterval = 60000;

// How far past its limit a file that cannot be rotated may grow: a quarter of
// the limit, and at least one batch.
constexpr uint64_t RotationOvershoot(uint64_t maxFileSize) noexcept
{
    return std::max<uint64_t>(maxFileSize / 4, 0x11000);  // LogBufferBytes
}

class LogFileRetry {
public:
    LogFileTrouble Trouble() const noexcept { return trouble; }
    // Whether an attempt may run at `now`: always, unless one failed and its
    // wait has not passed.
    bool Due(uint32_t now) const noexcept
    {
        return trouble == LogFileTrouble::None || static_cast<int32_t>(now - next) >= 0;
    }
    // Whether a full file that cannot be rotated meanwhile is held to its
    // overshoot.
    bool Bounded() const noexcept
    {
        return trouble != LogFileTrouble::None && trouble != LogFileTrouble::NameNotRotatable;
    }

    // An attempt failed. True when it is to be told: the first failure of a
    // run, or one of another kind than the failure before it.
    bool Failed(LogFileTrouble what, NTSTATUS why, uint32_t now) noexcept
    {
        const bool tell = what != trouble && what != LogFileTrouble::NameNotRotatable;
        if (trouble == LogFileTrouble::None) {
            since = now;
            attempts = 0;
            dropped = 0;
            interval = RetryFirstInterval;
        } else {
            interval = std::min(interval * 2, RetryLongestInterval);
        }
        trouble = what;
        status = why;
        ++attempts;
        next = now + interval;
        return tell;
    }
    void Dropped() noexcept { ++dropped; }

    // An attempt succeeded: the run ends. What the ending run was, for the
    // line that tells it (None when there was nothing to tell).
    struct Run {
        LogFileTrouble trouble;
        uint32_t since;
        uint32_t attempts;
        uint32_t dropped;
    };
    Run Succeeded() noexcept
    {
        const Run ended{trouble == LogFileTrouble::NameNotRotatable ? LogFileTrouble::None : trouble, since,
                        attempts, dropped};
        trouble = LogFileTrouble::None;
        return ended;
    }

    NTSTATUS Status() const noexcept { return status; }

private:
    LogFileTrouble trouble = LogFileTrouble::None;
    NTSTATUS status = 0;
    uint32_t since = 0;     // the run's first failure
    uint32_t next = 0;      // from this tick the next attempt runs
    uint32_t interval = 0;  // the wait after the last failure
    uint32_t attempts = 0;  // failed attempts in the run
    uint32_t dropped = 0;   // records not written in the run
};
