// How the log reaches disk: WriteRecord appends one block; EnsureLogFile, run
// before every append, reopens a file that is gone and rotates one that is full;
// OpenLogFile opens or creates the live file, writes the header of a new one,
// and rotates an existing one whose header is not the one it would write.
//
// All file access goes through the native interface, on paths in the object
// namespace ("\??\C:\logs\trace.log"), and every open of the live and ".old"
// names refuses what someone else may have planted there (LogFileName.h).
// Between processes appends take no lock: each is one write of whole lines at
// the end of a file opened for appending. Opening and rotation run under the
// cross-process mutex (LogFileMutex), as the process (ProcessIdentity), and
// after a failure they wait before they try again (LogFileRetry.h).
//
// Within the process, every write holds the file lock from the size check to
// the append: the writer thread and a thread that writes directly (a fatal
// line, or a block that could not be handed to the writer thread) would
// otherwise rotate or reopen the file under each other's write, and close a
// handle the other is still using.
#include "log/LogFileMutex.h"
#include "log/LogFileName.h"
#include "log/ProcessIdentity.h"
#include "log/ProcessLog.h"
#include "base/NtApi.h"

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <iterator>

namespace {

// Access masks of the three kinds of file handle: the live file appended to,
// a previous ".old" emptied and deleted, and the live file renamed to ".old".
constexpr ACCESS_MASK LiveAppendAccess = SYNCHRONIZE | FILE_READ_ATTRIBUTES | FILE_APPEND_DATA | FILE_READ_DATA;
constexpr ACCESS_MASK OldFileAccess = SYNCHRONIZE | DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_DATA;
constexpr ACCESS_MASK LiveRenameAccess = SYNCHRONIZE | DELETE | FILE_READ_ATTRIBUTES | FILE_READ_DATA;

constexpr unsigned KilledNameCount = 0x1000;  // "killed.0" to "killed.fff"

constexpr char PlainMagic[8] = {'O', 'L', 'V', 'L', 'O', 'G', '.', '0'};

// The level of the log's own lines (important).
constexpr unsigned OwnLineLevel = 4;

struct RenameInformation {
    BOOLEAN replaceIfExists;
    HANDLE rootDirectory;
    ULONG fileNameLength;
    WCHAR fileName[1];
};

uint32_t Now()
{
    return LogTickCount.load()();
}

size_t PathUnits(const ProcessLog* log)
{
    return std::wcslen(log->path);
}

// The size of the open file, or false when it cannot be read.
bool FileSize(HANDLE file, uint64_t* size, NTSTATUS* status = nullptr)
{
    LogStandardInformation info{};
    IO_STATUS_BLOCK io{};
    const NTSTATUS queried = ZwQueryInformationFile(file, &io, &info, sizeof(info), OlvFileStandardInformation);
    if (status != nullptr)
        *status = queried;
    if (queried < 0)
        return false;
    *size = static_cast<uint64_t>(info.endOfFile.QuadPart);
    return true;
}

// Renames an open file (replacing a file of the target name, or a link planted
// under it, never the link's target) to a full path. A bare target name with
// no root directory would do on Windows, but Wine refuses it (0xC000003B); the
// full path works on both.
NTSTATUS RenameTo(HANDLE file, const wchar_t* target, size_t units)
{
    union {
        RenameInformation info;
        unsigned char bytes[offsetof(RenameInformation, fileName) + (LogPathUnits + 16) * sizeof(wchar_t)];
    } rename{};
    rename.info.replaceIfExists = TRUE;
    rename.info.rootDirectory = nullptr;
    rename.info.fileNameLength = static_cast<ULONG>(units * sizeof(wchar_t));
    std::memcpy(rename.info.fileName, target, units * sizeof(wchar_t));
    IO_STATUS_BLOCK io{};
    return ZwSetInformationFile(file, &io, &rename,
                                static_cast<ULONG>(offsetof(RenameInformation, fileName) + units * sizeof(wchar_t)),
                                OlvFileRenameInformation);
}

// Length of the directory part of `path`, separator included (0 for a bare name).
size_t DirectoryUnits(const wchar_t* path, size_t units)
{
    for (size_t i = units; i > 0; --i) {
        if (path[i - 1] == L'\\' || path[i - 1] == L'/')
            return i;
    }
    return 0;
}

// The last component of a name: after its last "\", or its last "/" if it has
// no "\", or the whole name.
size_t LastComponentStart(const wchar_t* name, size_t units)
{
    for (size_t i = units; i > 0; --i) {
        if (name[i - 1] == L'\\')
            return i;
    }
    for (size_t i = units; i > 0; --i) {
        if (name[i - 1] == L'/')
            return i;
    }
    return 0;
}

// Appends a record as it stands, encrypted first when the log encrypts: no
// size check, no reopen.
void AppendRecord(ProcessLog* log, void* data, uint32_t bytes) OLV_REQUIRES(log->fileLock)
{
    if (log->encrypt) {
        bytes &= ~15u;
        EncryptRecord(log, data, bytes);
    }
    IO_STATUS_BLOCK io{};
    ZwWriteFile(log->file.get(), nullptr, nullptr, nullptr, &io, data, bytes, nullptr, nullptr);
}

// The log's own line, at level 4 with the usual prefix, appended to the open
// file at once. Nothing without a file. (The Microsoft formatter: "%s" wide.)
void AppendOwnLine(ProcessLog* log, uint32_t now, const wchar_t* format, ...) OLV_REQUIRES(log->fileLock)
{
    if (!log->file.valid())
        return;
    alignas(16) wchar_t line[1024];
    size_t units = WriteLinePrefix(line, now, OwnLineLevel);
    va_list args;
    va_start(args, format);
    // Room for CR LF and the padding behind the text.
    const int message = _vsnwprintf(line + units, std::size(line) - units - 10, format, args);
    va_end(args);
    if (message < 0)
        return;
    units += static_cast<size_t>(message);
    line[units++] = L'\r';
    line[units++] = L'\n';
    while (units % 8 != 0)
        line[units++] = L'\0';
    AppendRecord(log, line, static_cast<uint32_t>(units * sizeof(wchar_t)));
}

// Says why the log cannot use its file, once per run of failures: a line in
// the file while one is open (a full file that cannot be rotated), else the
// debugger's output, the one place left to say it.
void TellTrouble(ProcessLog* log, uint32_t now) OLV_REQUIRES(log->fileLock)
{
    const wchar_t* why = LogFileTroubleText(log->retry.Trouble());
    const auto status = static_cast<unsigned>(log->retry.Status());
    const unsigned longest = RetryLongestInterval / 1000;
    if (log->file.valid()) {
        AppendOwnLine(log, now,
                      L"OlvLog: %s: %s (status 0x%x); the log tries again at growing intervals of up to %u s, and "
                      L"meanwhile the file takes at most %I64u bytes",
                      log->path, why, status, longest, log->maxFileSize + RotationOvershoot(log->maxFileSize));
        return;
    }
    wchar_t text[1024];
    if (_snwprintf(text, std::size(text) - 1, L"OlvLog: nothing is written to %s: %s (status 0x%x); the log tries "
                   L"again at growing intervals of up to %u s\n", log->path, why, status, longest) >= 0) {
        text[std::size(text) - 1] = L'\0';
        OutputDebugStringW(text);
    }
}

// Says, in the file, that a run of failures has ended and what it cost.
void TellRunEnded(ProcessLog* log, const LogFileRetry::Run& run, uint32_t now) OLV_REQUIRES(log->fileLock)
{
    if (run.trouble == LogFileTrouble::None)
        return;
    AppendOwnLine(log, now, L"OlvLog: %s: %s, from tick %x on: %u attempts failed and %u records were not written",
                  log->path, LogFileTroubleText(run.trouble), run.since, run.attempts, run.dropped);
}

// An attempt to open or rotate failed: the log waits before the next one, and
// says why the first time.
void NoteFailure(ProcessLog* log, LogFileTrouble trouble, NTSTATUS status, uint32_t now) OLV_REQUIRES(log->fileLock)
{
    if (log->retry.Failed(trouble, status, now))
        TellTrouble(log, now);
}

// Empties a previous ".old" file in the way, moves it to a "killed.%x" name in
// the same folder and deletes it, so that the ".old" name and the file's space
// are free at once, even while other processes still hold it open. Returns
// OldNameRefused for a name the log cannot use (nothing is done to it), else
// None: an ".old" that is missing or cannot be opened is left to the rename
// over it, which then fails or replaces it.
LogFileTrouble RemoveOldFile(ProcessLog* log, const LogFolder& folder, const wchar_t* oldPath, size_t oldUnits)
    OLV_REQUIRES(log->fileLock)
{
    UniqueNtHandle old;
    const LogNameResult opened = OpenLogName(old, OldFileAccess, oldPath, oldUnits, folder, false);
    if (opened.what == LogNameOpen::Refused)
        return LogFileTrouble::OldNameRefused;
    if (opened.what != LogNameOpen::Opened)
        return LogFileTrouble::None;

    IO_STATUS_BLOCK io{};
    LARGE_INTEGER endOfFile{};
    ZwSetInformationFile(old.get(), &io, &endOfFile, sizeof(endOfFile), OlvFileEndOfFileInformation);

    wchar_t killed[LogPathUnits + 16];
    const size_t directory = DirectoryUnits(log->path, PathUnits(log));
    std::memcpy(killed, log->path, directory * sizeof(wchar_t));
    std::memcpy(killed + directory, L"killed.", 7 * sizeof(wchar_t));
    for (unsigned n = 0; n < KilledNameCount; ++n) {
        size_t units = directory + 7 + AppendHex(killed + directory + 7, n);
        if (!NtIsError(RenameTo(old.get(), killed, units)))
            break;
    }

    BOOLEAN deleteFile = TRUE;
    ZwSetInformationFile(old.get(), &io, &deleteFile, sizeof(deleteFile), OlvFileDispositionInformation);
    return LogFileTrouble::None;
}

// The file's number on its volume, or false where the file system gives none.
bool FileIndex(HANDLE file, LARGE_INTEGER* index)
{
    IO_STATUS_BLOCK io{};
    return ZwQueryInformationFile(file, &io, index, sizeof(*index), OlvFileInternalInformation) >= 0;
}

// Moves the full live file to its ".old" name. Returns None when it was moved,
// or when there is nothing to move: the handle already names a moved file, or
// the file at the live path is another one (both after another process's
// rotation), or there is none. Otherwise what kept it (nothing is moved):
// NameNotRotatable (no extension of three characters or more, or no room for
// the ".old" path), a refused live or ".old" name, or RotationBlocked with the
// status that failed (a program holding the file without delete sharing).
LogFileTrouble MoveLiveFileToOld(ProcessLog* log, const LogFolder& folder, NTSTATUS* status)
    OLV_REQUIRES(log->fileLock)
{
    *status = STATUS_SUCCESS;
    alignas(8) unsigned char nameBuffer[960] = {};
    IO_STATUS_BLOCK io{};
    *status = ZwQueryInformationFile(log->file.get(), &io, nameBuffer, sizeof(nameBuffer), OlvFileNameInformation);
    if (*status < 0)
        return LogFileTrouble::RotationBlocked;
    *status = STATUS_SUCCESS;
    ULONG nameBytes = 0;
    std::memcpy(&nameBytes, nameBuffer, sizeof(nameBytes));
    const wchar_t* name = reinterpret_cast<const wchar_t*>(nameBuffer + sizeof(ULONG));
    const size_t nameUnits = std::min<size_t>(nameBytes / sizeof(wchar_t), (sizeof(nameBuffer) - sizeof(ULONG)) / 2);

    size_t dot = nameUnits;
    while (dot > 0 && name[dot - 1] != L'.')
        --dot;
    if (dot == 0)
        return LogFileTrouble::NameNotRotatable;
    --dot;
    if (nameUnits - dot < 4)
        return LogFileTrouble::NameNotRotatable;
    // A handle whose name already ends in ".old" was moved by another process's
    // rotation: the live name only needs reopening.
    if (_wcsnicmp(name + dot, L".old", 4) == 0)
        return LogFileTrouble::None;

    const size_t component = LastComponentStart(name, nameUnits);
    const size_t componentUnits = nameUnits - component;
    const size_t pathUnits = PathUnits(log);
    const size_t directory = DirectoryUnits(log->path, pathUnits);
    const size_t oldUnits = directory + componentUnits + 4;
    // Cutting the ".old" path short would move the live file to a wrong name.
    if (oldUnits > LogRotatedPathUnits)
        return LogFileTrouble::NameNotRotatable;
    wchar_t oldPath[LogRotatedPathUnits + 1];
    std::memcpy(oldPath, log->path, directory * sizeof(wchar_t));
    std::memcpy(oldPath + directory, name + component, componentUnits * sizeof(wchar_t));
    std::memcpy(oldPath + directory + componentUnits, L".old", 4 * sizeof(wchar_t));
    oldPath[oldUnits] = L'\0';

    UniqueNtHandle live;
    const LogNameResult opened = OpenLogName(live, LiveRenameAccess, log->path, pathUnits, folder, false);
    switch (opened.what) {
    case LogNameOpen::Opened:
        break;
    case LogNameOpen::Missing:
        return LogFileTrouble::None;
    case LogNameOpen::Refused:
        return LogFileTrouble::LiveNameRefused;
    default:
        *status = opened.status;
        return LogFileTrouble::RotationBlocked;
    }
    // Only the file this handle found full is moved. When another process has
    // moved it already, the live path names that process's new file, and
    // moving that one would delete the full file from ".old". The name check
    // above misses this under Wine, whose handles keep the name they were
    // opened with; the files' numbers tell on both systems.
    LARGE_INTEGER full{};
    LARGE_INTEGER atLivePath{};
    if (FileIndex(log->file.get(), &full) && FileIndex(live.get(), &atLivePath) &&
        full.QuadPart != atLivePath.QuadPart)
        return LogFileTrouble::None;
    if (RemoveOldFile(log, folder, oldPath, oldUnits) == LogFileTrouble::OldNameRefused)
        return LogFileTrouble::OldNameRefused;
    *status = RenameTo(live.get(), oldPath, oldUnits);
    return NtIsError(*status) ? LogFileTrouble::RotationBlocked : LogFileTrouble::None;
}

// R1 to R8: under the mutex and as the process, the full file moves to ".old"
// and the live name is reopened (a new file where the move succeeded, the same
// one where it did not). A failure is noted and told once; a success after
// failures says what they cost.
void RotateLogFile(ProcessLog* log, uint32_t now) OLV_REQUIRES(log->fileLock)
{
    ProcessIdentity self;
    if (!self.Acting()) {
        NoteFailure(log, LogFileTrouble::IdentityKept, STATUS_SUCCESS, now);
        return;
    }
    LogFileMutex mutex;
    NTSTATUS status = STATUS_SUCCESS;
    const LogFileTrouble moved = MoveLiveFileToOld(log, LogFolder(log->path, PathUnits(log)), &status);
    log->file.reset();
    LogFileFault fault;
    if (OpenLogFile(log, &fault) == LogFileOpen::Failed) {
        NoteFailure(log, fault.trouble, fault.status, now);
        return;
    }
    if (moved == LogFileTrouble::None)
        TellRunEnded(log, log->retry.Succeeded(), now);
    else
        NoteFailure(log, moved, status, now);
}

// Opens or creates the live file; a new (or empty) one gets its header, whose
// first block goes through AppendRecord so that it is encrypted like every
// record after it (never through WriteRecord: a file that stays empty, on a
// full disk, would be reopened from inside its own open). Failed leaves `file` empty, with the reason in `fault`.
LogFileOpen OpenLiveFile(ProcessLog* log, const LogFolder& folder, uint32_t keyError, LogFileFault* fault)
    OLV_REQUIRES(log->fileLock)
{
    const LogNameResult opened = OpenLogName(log->file, LiveAppendAccess, log->path, PathUnits(log), folder, true);
    if (opened.what == LogNameOpen::Refused) {
        *fault = {LogFileTrouble::LiveNameRefused, STATUS_SUCCESS};
        return LogFileOpen::Failed;
    }
    if (opened.what != LogNameOpen::Opened && opened.what != LogNameOpen::Created) {
        *fault = {LogFileTrouble::OpenFailed, opened.status};
        return LogFileOpen::Failed;
    }
    // An empty file has no header to keep: it gets this process's, as a new
    // one would.
    uint64_t size = 0;
    if (opened.what == LogNameOpen::Opened && (!FileSize(log->file.get(), &size) || size != 0))
        return LogFileOpen::Opened;

    if (log->encrypt) {
        if (uint32_t wrapError = WriteEncryptedHeader(log); wrapError != 0) {
            log->encrypt = false;
            keyError = wrapError;
        }
    }
    if (!log->encrypt) {
        IO_STATUS_BLOCK magicIo{};
        ZwWriteFile(log->file.get(), nullptr, nullptr, nullptr, &magicIo, const_cast<char*>(PlainMagic),
                    sizeof(PlainMagic), nullptr, nullptr);
    }
    alignas(16) unsigned char byteOrderMark[16] = {0xFF, 0xFE};
    AppendRecord(log, byteOrderMark, sizeof(byteOrderMark));
    if (keyError != 0) {
        alignas(16) wchar_t record[64] = {};
        static const wchar_t text[] = L"stream_key_init_error=0x";
        size_t units = sizeof(text) / sizeof(wchar_t) - 1;
        std::memcpy(record, text, units * sizeof(wchar_t));
        units += AppendHex(record + units, keyError);
        record[units] = L'\n';
        AppendRecord(log, record, sizeof(record));
    }
    return LogFileOpen::Created;
}

// Whether the open file begins with the header this process would write: the
// plain magic, or for an encrypted log the magic, length and sealed key of its
// own key (sealing is deterministic, so equal bytes mean the same key).
bool HeaderIsOwn(ProcessLog* log) OLV_REQUIRES(log->fileLock)
{
    uint8_t expected[EncryptedHeaderMaxBytes];
    uint32_t expectedBytes = sizeof(PlainMagic);
    std::memcpy(expected, PlainMagic, sizeof(PlainMagic));
    if (log->encrypt && BuildEncryptedHeader(log, expected, &expectedBytes) != 0) {
        // Checked when the key was set up; a key that cannot be sealed after
        // all is written plain, as in a new file.
        log->encrypt = false;
        expectedBytes = sizeof(PlainMagic);
        std::memcpy(expected, PlainMagic, sizeof(PlainMagic));
    }
    uint8_t found[EncryptedHeaderMaxBytes] = {};
    IO_STATUS_BLOCK io{};
    LARGE_INTEGER start{};
    // A read at an explicit offset; appends (no offset, append-only access)
    // still go to the end.
    NTSTATUS status =
        ZwReadFile(log->file.get(), nullptr, nullptr, nullptr, &io, found, expectedBytes, &start, nullptr);
    return status >= 0 && io.Information == expectedBytes && std::memcmp(found, expected, expectedBytes) == 0;
}

}  // namespace

void WriteBlock(ProcessLog* log, uint32_t flags, void* data, uint32_t bytes) noexcept
{
    WriteRecord(log, data, bytes);
    if ((flags & SubmitFatal) != 0 && log->file.valid()) {
        IO_STATUS_BLOCK io{};
        ZwFlushBuffersFile(log->file.get(), &io);
    }
}

void WriteRecord(ProcessLog* log, void* data, uint32_t bytes) noexcept
{
    if (!EnsureLogFile(log, bytes)) {
        log->retry.Dropped();
        return;
    }
    AppendRecord(log, data, bytes);
}

bool EnsureLogFile(ProcessLog* log, uint32_t bytes) noexcept
{
    const bool hadFile = log->file.valid();
    if (hadFile) {
        uint64_t size = 0;
        NTSTATUS status = STATUS_SUCCESS;
        if (FileSize(log->file.get(), &size, &status)) {
            if (size < log->maxFileSize && size != 0)
                return true;
            if (size != 0) {
                const uint32_t now = Now();
                if (log->retry.Due(now)) {
                    RotateLogFile(log, now);
                    if (!log->file.valid())
                        return false;
                    if (!FileSize(log->file.get(), &size) || size < log->maxFileSize)
                        return true;
                }
                // Not rotated: the file takes records up to its overshoot.
                return !log->retry.Bounded() ||
                       size + bytes <= log->maxFileSize + RotationOvershoot(log->maxFileSize);
            }
            // Another process's rotation emptied the file this handle names.
            log->file.reset();
        } else if (static_cast<DWORD>(status) == STATUS_INVALID_HANDLE) {
            // Someone closed our handle: its value may name another object by
            // now, so it is dropped, not closed.
            (void)log->file.release();
        } else {
            log->file.reset();
        }
    }

    // No file: it is opened again at once when it has just gone, else once the
    // wait after the failed open has passed.
    const uint32_t now = Now();
    if (!hadFile && !log->retry.Due(now))
        return false;
    ProcessIdentity self;
    if (!self.Acting()) {
        NoteFailure(log, LogFileTrouble::IdentityKept, STATUS_SUCCESS, now);
        return false;
    }
    LogFileMutex mutex;
    LogFileFault fault;
    if (OpenLogFile(log, &fault) == LogFileOpen::Failed) {
        NoteFailure(log, fault.trouble, fault.status, now);
        return false;
    }
    TellRunEnded(log, log->retry.Succeeded(), now);
    return true;
}

LogFileOpen OpenLogFile(ProcessLog* log, LogFileFault* fault) noexcept
{
    LogFileFault unused;
    if (fault == nullptr)
        fault = &unused;
    // Encryption is decided afresh at every open: the key may have changed.
    log->encrypt = false;
    uint32_t keyError = 0;
    if ((LogFlags() & 1) == 0)
        keyError = SetupLogEncryption(log);

    const LogFolder folder(log->path, PathUnits(log));
    LogFileOpen result = OpenLiveFile(log, folder, keyError, fault);
    if (result != LogFileOpen::Opened || HeaderIsOwn(log))
        return result;
    // The file was begun by a process with another key (the volatile key is
    // new after every restart) or the other format: records appended to it
    // would decode under no header. It is moved away as a full file is, and
    // the records start a file with their own header.
    NTSTATUS status = STATUS_SUCCESS;
    MoveLiveFileToOld(log, folder, &status);
    log->file.reset();
    result = OpenLiveFile(log, folder, keyError, fault);
    if (result == LogFileOpen::Opened && !HeaderIsOwn(log)) {
        // It could not be moved (its name has no room for ".old", or another
        // program holds it without delete sharing): its records are dropped
        // rather than written where nobody can read them.
        log->file.reset();
        *fault = {LogFileTrouble::ForeignNotMoved, status};
        return LogFileOpen::Failed;
    }
    return result;
}
