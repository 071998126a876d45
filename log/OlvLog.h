// The one call through which every subsystem reports. Declared apart from the
// logger's internals so that the runtime library can log without including them.
#pragma once

#include <windows.h>

// Levels of OlvLog_Print: a larger level is more important.
enum OlvLogLevel : unsigned {
    OlvLogTrace = 1,
    OlvLogInfo = 2,
    OlvLogError = 3,
    OlvLogImportant = 4,
    OlvLogFatal = 5,
};

// Formats one line (Microsoft wide printf conventions: %s wide, %S narrow) and
// hands it to the process log. Without an open log it returns at once. Keeps the
// caller's last-error value. Level 5 raises a breakpoint trap in any case.
void OlvLog_Print(unsigned level, const wchar_t* format, ...);

// Thread start routine exported by the module (ordinal 1): flushes the flush
// participants and the current log, then ends its thread with exit code 1 when a
// log is open and 2 when none is.
extern "C" DWORD WINAPI OlvLog_FlushThread(LPVOID parameter);

// Reports a failed system call at level 3 in the form
// "OLV_LOG_WIN32_CALL: '<source file>': <line> <last error>". The thread's
// last-error value is read first and kept, so the caller may test it afterwards.
void OlvLog_Win32Call(const char* sourceFile, unsigned line);
#define OLV_LOG_WIN32_CALL() OlvLog_Win32Call(__FILE__, __LINE__)
