#include "log/ProcessLogControl.h"

#include "log/LogFileMutex.h"
#include "log/ProcessIdentity.h"
#include "log/ProcessLog.h"
#include "base/Mutex.h"
#include "base/NtApi.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>
#include <string>

namespace {

// Serialises openers and closers; log calls never take it.
Mutex ControlMutex;
bool ExitCloseRegistered OLV_GUARDED_BY(ControlMutex) = false;

// How long the closer waits for the writer thread to write what is queued.
constexpr DWORD WriterStopWait = 60000;

// Returns false when the writer thread is still running (it may still use the
// log, which then must not be freed).
bool StopWriter(ProcessLog* log)
{
    if (!log->writer.HasThread())
        return true;
    // Asked after every batch: the thread ends once they are all written.
    log->writer.RequestStop();
    if (WaitForSingleObject(log->writer.Thread(), WriterStopWait) != WAIT_OBJECT_0) {
        // Stuck: what it has not written is written here, in order, and the
        // log is left to it.
        DrainWriterQueue(log, false);
        return false;
    }
    log->writer.ForgetThread();
    // A thread ended from outside leaves its queue behind: in a module unloaded
    // at process exit, every other thread has ended before this runs.
    DrainWriterQueue(log, true);
    return true;
}

// Unchecked by the analysis: the log is unpublished (or never was) and its
// writer has stopped, so this thread is its last user.
void FreeLog(ProcessLog* log) OLV_NO_THREAD_SAFETY_ANALYSIS
{
    if (!StopWriter(log))
        return;
    log->file.reset();
    if (log->buffer != nullptr)
        FreeOwnedBlock(log, log->buffer);
    SecureZeroMemory(log->keyArea, sizeof(log->keyArea));
    SecureZeroMemory(log->cipher, sizeof(log->cipher));
    delete log;
}

// The native form of a path: "\??\C:\x" for drive paths, "\??\UNC\server\share"
// for UNC paths; a path that already starts with a single "\" is native.
bool NativePath(const wchar_t* path, std::wstring& native)
{
    if (path[0] == L'\\' && path[1] != L'\\') {
        native = path;
        return true;
    }
    DWORD needed = GetFullPathNameW(path, 0, nullptr, nullptr);
    if (needed == 0)
        return false;
    std::wstring full(needed, L'\0');
    DWORD written = GetFullPathNameW(path, needed, full.data(), nullptr);
    if (written == 0 || written >= needed)
        return false;
    full.resize(written);
    if (full.rfind(L"\\\\?\\", 0) == 0 || full.rfind(L"\\\\.\\", 0) == 0)
        native = L"\\??\\" + full.substr(4);
    else if (full.rfind(L"\\\\", 0) == 0)
        native = L"\\??\\UNC\\" + full.substr(2);
    else
        native = L"\\??\\" + full;
    return true;
}

void CloseAtExit()
{
    OlvLog_Close();
}

// Gives a new log its first batch buffer and its file. Unchecked by the
// analysis: the log is not published yet, so this thread is its only user.
OlvLogOpenResult PrepareLog(ProcessLog* log) OLV_NO_THREAD_SAFETY_ANALYSIS
{
    log->buffer = static_cast<uint8_t*>(AllocateOwnedBlock(log, LogBufferBytes));
    if (log->buffer == nullptr)
        return OlvLogOutOfMemory;
    log->bufferUsed = 0;
    log->flushDeadline = LogTickCount.load()() + LogFlushInterval;

    // As the process, not a client the opener's thread may impersonate; under
    // the mutex, so that a file created at the same moment by another process
    // gets exactly one header.
    ProcessIdentity self;
    if (!self.Acting())
        return OlvLogFileFailed;
    LogFileMutex mutex;
    return OpenLogFile(log) == LogFileOpen::Failed ? OlvLogFileFailed : OlvLogOpened;
}

}  // namespace

OlvLogOpenResult OlvLog_Open(const wchar_t* dosOrNtPath, unsigned minLevel, uint64_t maxFileSize, bool writerThread)
{
    if (dosOrNtPath == nullptr || dosOrNtPath[0] == L'\0' || maxFileSize <= LogMinimumFileSize)
        return OlvLogBadArgument;

    MutexHolder guard(ControlMutex);
    if (CurrentLog.load() != nullptr)
        return OlvLogAlreadyOpen;

    std::wstring native;
    try {
        if (!NativePath(dosOrNtPath, native))
            return OlvLogBadArgument;
    } catch (const std::bad_alloc&) {
        return OlvLogOutOfMemory;
    }
    if (native.size() > LogMaximumPathUnits)
        return OlvLogPathTooLong;

    auto log = new (std::nothrow) ProcessLog();
    if (log == nullptr)
        return OlvLogOutOfMemory;
    log->heap = GetProcessHeap();
    std::memcpy(log->path, native.c_str(), (native.size() + 1) * sizeof(wchar_t));
    log->minLevel = minLevel;
    log->maxFileSize = maxFileSize;

    if (writerThread) {
        if (!log->writer.Prepare()) {
            FreeLog(log);
            return OlvLogWriterFailed;
        }
        HANDLE thread = CreateThread(nullptr, 0, &WriterThreadProc, log, 0, nullptr);
        if (thread == nullptr) {
            FreeLog(log);
            return OlvLogWriterFailed;
        }
        log->writer.AttachThread(thread);
        log->useWriterThread.store(true);
    }

    if (OlvLogOpenResult prepared = PrepareLog(log); prepared != OlvLogOpened) {
        FreeLog(log);
        return prepared;
    }

    if (!ExitCloseRegistered) {
        // Lines still batched at exit reach the file.
        ExitCloseRegistered = std::atexit(&CloseAtExit) == 0;
    }
    CurrentLog.store(log);
    return OlvLogOpened;
}

void OlvLog_Close()
{
    MutexHolder guard(ControlMutex);
    ProcessLog* log = CurrentLog.exchange(nullptr);
    if (log == nullptr)
        return;
    while (LogCallersInFlight.load() != 0)
        Sleep(1);
    {
        LogSpinLockHolder batch(log->bufferLock);
        SendBatch(log, SubmitOwned);
    }
    FreeLog(log);
}

const wchar_t* OlvLog_OpenResultText(OlvLogOpenResult result)
{
    switch (result) {
    case OlvLogOpened: return L"opened";
    case OlvLogAlreadyOpen: return L"a log is already open in this process";
    case OlvLogBadArgument: return L"bad argument: the path must be given and the size limit must exceed 152 bytes";
    case OlvLogPathTooLong: return L"the log path is longer than 376 units, which leaves no room for \".old\"";
    case OlvLogOutOfMemory: return L"out of memory";
    case OlvLogWriterFailed: return L"the writer thread could not be started";
    case OlvLogFileFailed: return L"the log file could neither be opened nor created";
    }
    return L"unknown result";
}
