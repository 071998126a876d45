// Opening the log's own names (the live file and its ".old") without following
// what someone else may have planted there.
//
// A host that logs as SYSTEM into a folder that users can write to must not
// follow a name in that folder to another file: emptying, renaming or
// deleting a planted link's target is the classic escalation through a
// service's log rotation. What Windows lets a user with write access to the
// folder plant at a name:
//   - a hard link to another file (recent releases want the right to write
//     that file's attributes, older ones nothing): the same file under a
//     second name;
//   - a symbolic link (with the privilege, which Developer Mode gives every
//     user) or a mount point (junction) on a directory of theirs: reparse
//     points, which the system follows when opening unless told not to.
// So every open of these names asks not to follow a reparse point
// (FILE_OPEN_REPARSE_POINT: the link itself is opened) and then refuses a
// file that is a reparse point of the kinds that name another file (name
// surrogates: symbolic links, mount points), that has more than one name, or
// whose full name does not lie in the log's folder. A reparse point that
// holds data rather than a name (deduplication, compression, a cloud
// placeholder: an old ".old" may become one) is opened again through the
// filter that serves it, and must still be the same file. The last test is what Wine shows:
// it follows Linux symbolic links whatever the open asks and reports the
// target as a plain file, but names the target, outside the folder, as the
// handle's object name. The "killed.%x" names are never opened: a file is
// renamed onto them, which replaces a link planted there, never its target.
//
// A refused name is one the log cannot use: it is neither written, emptied,
// renamed nor deleted, and the caller says so once (LogFileTrouble.h).
#pragma once

#include "log/UniqueNtHandle.h"

#include <windows.h>
#include <winternl.h>

#include <atomic>
#include <cstddef>

// FileStandardInformation.
struct LogStandardInformation {
    LARGE_INTEGER allocationSize;
    LARGE_INTEGER endOfFile;
    ULONG numberOfLinks;
    BOOLEAN deletePending;
    BOOLEAN directory;
};
static_assert(sizeof(LogStandardInformation) == 24);

// What the checks read of an open file. Wine cannot show a reparse point:
// tests replace LogFileFactsOf to report one (the default reads the file's
// attribute-tag and standard information).
struct LogFileFacts {
    ULONG attributes = 0;  // FILE_ATTRIBUTE_*
    ULONG reparseTag = 0;  // IO_REPARSE_TAG_* when attributes hold FILE_ATTRIBUTE_REPARSE_POINT
    ULONG links = 0;       // names of the file (hard links)
};
using LogFileFactsSource = NTSTATUS (*)(HANDLE file, LogFileFacts* facts);
NTSTATUS QueryLogFileFacts(HANDLE file, LogFileFacts* facts) noexcept;
extern std::atomic<LogFileFactsSource> LogFileFactsOf;

// The object name of the folder that holds a log path, read when it is made
// (a folder that cannot be opened or named leaves it empty, and then no name
// in it is usable).
class LogFolder {
public:
    // `path`: a native path ("\??\C:\logs\trace.log") of `units` units.
    LogFolder(const wchar_t* path, size_t units) noexcept;
    // Whether the open file's object name lies directly in this folder.
    bool Holds(HANDLE file) const noexcept;

    // Room for an object name: a device name and a folder path of up to
    // 388 units fit many times over; a longer name is taken as unknown.
    static constexpr size_t NameUnits = 1024;

private:
    wchar_t name[NameUnits] = {};  // with a trailing separator
    size_t units = 0;              // 0 when unknown
};

enum class LogNameOpen {
    Opened,   // an existing file, checked
    Created,  // a new file (only when asked to create)
    Missing,  // no file of that name (when not asked to create)
    Refused,  // a link (symbolic or hard), a mount point, or a file outside
              // the folder: closed again, untouched
    Failed,   // the open failed (status)
};

struct LogNameResult {
    LogNameOpen what;
    NTSTATUS status;  // of the open; STATUS_SUCCESS when it opened or was refused
};

// Opens `path` (`units` units, native) for `access`, sharing read, write and
// delete, synchronous, never a directory, without following a reparse point,
// and checks the file. With `create`, a missing file is created; a name that
// exists but cannot be opened, such as a symbolic link whose target is
// missing, is not created through. `handle` holds the file only when the
// result is Opened or Created.
LogNameResult OpenLogName(UniqueNtHandle& handle, ACCESS_MASK access, const wchar_t* path, size_t units,
                          const LogFolder& folder, bool create) noexcept;
