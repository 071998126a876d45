// Opening and closing the process log. The plug-in itself never opens a log;
// tools, benchmarks and the tests of every subsystem do, to capture the exact
// lines that OlvLog_Print writes.
#pragma once

#include <cstdint>

enum OlvLogOpenResult : int {
    OlvLogOpened = 0,
    OlvLogAlreadyOpen = 1,       // a process has one log at a time
    OlvLogBadArgument = 2,       // null or empty path, or maxFileSize not above LogMinimumFileSize
    OlvLogPathTooLong = 3,       // the native path leaves no room for ".old" (LogMaximumPathUnits)
    OlvLogOutOfMemory = 4,
    OlvLogWriterFailed = 5,      // the writer thread could not be started
    OlvLogFileFailed = 6,        // the file could neither be opened nor created
};

// A new file holds up to 152 bytes of header; a size limit at or below it
// would rotate every new file at once.
constexpr uint64_t LogMinimumFileSize = 152;
// Longest native path (units, no terminator) whose ".old" name still fits in
// the 380 units that rotation allows.
constexpr unsigned LogMaximumPathUnits = 376;

// Opens the process log on a file. dosOrNtPath is a Win32 path ("C:\x\trace.log",
// relative, or UNC) or a native one ("\??\C:\x\trace.log"). Lines below minLevel
// are dropped; the file is rotated to "<name>.old" once it reaches maxFileSize.
// With writerThread, batches are written by a thread of the log's own.
// The file is opened or created (with its header) before the log is published.
// Returns OlvLogOpened or one of the codes above; on failure nothing is left open.
OlvLogOpenResult OlvLog_Open(const wchar_t* dosOrNtPath, unsigned minLevel, uint64_t maxFileSize, bool writerThread);

// Closes the process log, if one is open: unpublishes it, waits for log calls
// still using it, writes the last batch, stops the writer thread after it has
// written everything queued, and releases the file. Also run at process exit.
void OlvLog_Close();

// A short English description of a result, for messages.
const wchar_t* OlvLog_OpenResultText(OlvLogOpenResult result);
