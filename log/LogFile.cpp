// How the log reaches disk: WriteRecord appends one block; EnsureLogFile, run
// before every append, reopens a file that is gone and rotates one that is full;
// OpenLogFile opens or creates the live file, writes the header of a new one,
// and rotates an existing one whose header is not the one it would write.
//
// All file access goes through the native interface, on paths in the object
// namespace ("\??\C:\logs\trace.log"). Between processes appends take no lock:
// each is one write of whole lines at the end of a file opened for appending.
// Opening and rotation run under the cross-process mutex (LogFileMutex).
//
// Within the process, every write holds the file lock from the size check to
// the append: the writer thread and a thread that writes directly (a fatal
// line, or a block that could not be handed to the writer thread) would
// otherwise rotate or reopen the file under each other's write, and close a
// handle the other is still using.
#include "log/LogFileMutex.h"
#include "log/ProcessLog.h"
#include "base/NtApi.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cwchar>

namespace {

// Access masks, shares and options of the three kinds of file handle: the
// live file appended to, a previous ".old" emptied and deleted, and the live
// file renamed to ".old".
constexpr ACCESS_MASK LiveAppendAccess = SYNCHRONIZE | FILE_READ_ATTRIBUTES | FILE_APPEND_DATA | FILE_READ_DATA;
constexpr ACCESS_MASK OldFileAccess = SYNCHRONIZE | DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_DATA;
constexpr ACCESS_MASK LiveRenameAccess = SYNCHRONIZE | DELETE | FILE_READ_ATTRIBUTES | FILE_READ_DATA;
constexpr ULONG ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ULONG SyncNonDirectory = FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE;

constexpr unsigned KilledNameCount = 0x1000;  // "killed.0" to "killed.fff"

constexpr char PlainMagic[8] = {'O', 'L', 'V', 'L', 'O', 'G', '.', '0'};

struct StandardInformation {
    LARGE_INTEGER allocationSize;
    LARGE_INTEGER endOfFile;
    ULONG numberOfLinks;
    BOOLEAN deletePending;
    BOOLEAN directory;
};
static_assert(sizeof(StandardInformation) == 24);

struct RenameInformation {
    BOOLEAN replaceIfExists;
    HANDLE rootDirectory;
    ULONG fileNameLength;
    WCHAR fileName[1];
};

// A path in the object namespace with its length in units (no terminator needed).
struct NativeName {
    UNICODE_STRING string;
    OBJECT_ATTRIBUTES attributes;

    NativeName(const wchar_t* path, size_t units, ULONG objectFlags)
    {
        string.Length = static_cast<USHORT>(units * sizeof(wchar_t));
        string.MaximumLength = string.Length;
        string.Buffer = const_cast<wchar_t*>(path);
        attributes = {};
        attributes.Length = sizeof(attributes);
        attributes.ObjectName = &string;
        attributes.Attributes = objectFlags;
    }
};

NTSTATUS OpenExisting(UniqueNtHandle& handle, ACCESS_MASK access, const wchar_t* path, size_t units)
{
    NativeName name(path, units, OBJ_CASE_INSENSITIVE);
    IO_STATUS_BLOCK io{};
    const NTSTATUS status = ZwOpenFile(handle.put(), access, &name.attributes, &io, ShareAll, SyncNonDirectory);
    if (NtIsError(status))
        (void)handle.release();  // a failed open leaves no handle to close
    return status;
}

// Renames an open file (replacing a file of the target name) to a full path.
// A bare target name with no root directory would do on Windows, but Wine
// refuses it (0xC000003B); the full path works on both.
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

// Empties a previous ".old" file in the way, moves it to a "killed.%x" name in
// the same folder and deletes it, so that the ".old" name and the file's space
// are free at once, even while other processes still hold it open.
void RemoveOldFile(ProcessLog* log, const wchar_t* oldPath, size_t oldUnits)
{
    UniqueNtHandle old;
    if (NtIsError(OpenExisting(old, OldFileAccess, oldPath, oldUnits)) || !old.valid())
        return;

    IO_STATUS_BLOCK io{};
    LARGE_INTEGER endOfFile{};
    ZwSetInformationFile(old.get(), &io, &endOfFile, sizeof(endOfFile), OlvFileEndOfFileInformation);

    wchar_t killed[LogPathUnits + 16];
    const size_t directory = DirectoryUnits(log->path, std::wcslen(log->path));
    std::memcpy(killed, log->path, directory * sizeof(wchar_t));
    std::memcpy(killed + directory, L"killed.", 7 * sizeof(wchar_t));
    for (unsigned n = 0; n < KilledNameCount; ++n) {
        size_t units = directory + 7 + AppendHex(killed + directory + 7, n);
        if (!NtIsError(RenameTo(old.get(), killed, units)))
            break;
    }

    BOOLEAN deleteFile = TRUE;
    ZwSetInformationFile(old.get(), &io, &deleteFile, sizeof(deleteFile), OlvFileDispositionInformation);
}

// The file's number on its volume, or false where the file system gives none.
bool FileIndex(HANDLE file, LARGE_INTEGER* index)
{
    IO_STATUS_BLOCK io{};
    return ZwQueryInformationFile(file, &io, index, sizeof(*index), OlvFileInternalInformation) >= 0;
}

// Moves the full live file to its ".old" name. Gives up quietly (the caller
// then reopens the live file, which is tried again on the next write) when the
// name cannot be had, when the handle already names a moved file, when the
// file at the live path is another one, or when the ".old" path would not fit.
void MoveLiveFileToOld(ProcessLog* log) OLV_REQUIRES(log->fileLock)
{
    alignas(8) unsigned char nameBuffer[960] = {};
    IO_STATUS_BLOCK io{};
    NTSTATUS status =
        ZwQueryInformationFile(log->file.get(), &io, nameBuffer, sizeof(nameBuffer), OlvFileNameInformation);
    if (status < 0)
        return;
    ULONG nameBytes = 0;
    std::memcpy(&nameBytes, nameBuffer, sizeof(nameBytes));
    const wchar_t* name = reinterpret_cast<const wchar_t*>(nameBuffer + sizeof(ULONG));
    const size_t nameUnits = std::min<size_t>(nameBytes / sizeof(wchar_t), (sizeof(nameBuffer) - sizeof(ULONG)) / 2);

    size_t dot = nameUnits;
    while (dot > 0 && name[dot - 1] != L'.')
        --dot;
    if (dot == 0)
        return;
    --dot;
    // A handle whose name already ends in ".old" was moved by another process's
    // rotation: the live name only needs reopening.
    if (nameUnits - dot < 4 || _wcsnicmp(name + dot, L".old", 4) == 0)
        return;

    const size_t component = LastComponentStart(name, nameUnits);
    const size_t componentUnits = nameUnits - component;
    const size_t pathUnits = std::wcslen(log->path);
    const size_t directory = DirectoryUnits(log->path, pathUnits);
    const size_t oldUnits = directory + componentUnits + 4;
    // Cutting the ".old" path short would move the live file to a wrong name.
    if (oldUnits > LogRotatedPathUnits)
        return;
    wchar_t oldPath[LogRotatedPathUnits + 1];
    std::memcpy(oldPath, log->path, directory * sizeof(wchar_t));
    std::memcpy(oldPath + directory, name + component, componentUnits * sizeof(wchar_t));
    std::memcpy(oldPath + directory + componentUnits, L".old", 4 * sizeof(wchar_t));
    oldPath[oldUnits] = L'\0';

    UniqueNtHandle live;
    if (NtIsError(OpenExisting(live, LiveRenameAccess, log->path, pathUnits)) || !live.valid())
        return;
    // Only the file this handle found full is moved. When another process has
    // moved it already, the live path names that process's new file, and
    // moving that one would delete the full file from ".old". The name check
    // above misses this under Wine, whose handles keep the name they were
    // opened with; the files' numbers tell on both systems.
    LARGE_INTEGER full{};
    LARGE_INTEGER atLivePath{};
    if (FileIndex(log->file.get(), &full) && FileIndex(live.get(), &atLivePath) &&
        full.QuadPart != atLivePath.QuadPart)
        return;
    RemoveOldFile(log, oldPath, oldUnits);
    RenameTo(live.get(), oldPath, oldUnits);
}

void RotateLogFile(ProcessLog* log) OLV_REQUIRES(log->fileLock)
{
    LogFileMutex mutex;
    MoveLiveFileToOld(log);
    log->file.reset();
    OpenLogFile(log);
}

// Opens or creates the live file; a new (or empty) one gets its header, whose
// first block goes through WriteRecord so that it is encrypted like every
// record after it. Failed leaves `file` empty.
LogFileOpen OpenLiveFile(ProcessLog* log, uint32_t keyError) OLV_REQUIRES(log->fileLock)
{
    NativeName name(log->path, std::wcslen(log->path), OBJ_CASE_INSENSITIVE | OBJ_OPENIF);
    IO_STATUS_BLOCK io{};
    NTSTATUS status = ZwCreateFile(log->file.put(), LiveAppendAccess, &name.attributes, &io, nullptr,
                                   FILE_ATTRIBUTE_NORMAL, ShareAll, FILE_OPEN_IF, SyncNonDirectory, nullptr, 0);
    if (NtIsError(status)) {
        (void)log->file.release();  // whatever the failed call left there is no handle
        return LogFileOpen::Failed;
    }
    if (io.Information == FILE_OPENED) {
        // An empty file has no header to keep: it gets this process's, as a
        // new one would.
        StandardInformation info{};
        IO_STATUS_BLOCK queryIo{};
        if (ZwQueryInformationFile(log->file.get(), &queryIo, &info, sizeof(info), OlvFileStandardInformation) < 0 ||
            info.endOfFile.QuadPart != 0)
            return LogFileOpen::Opened;
    }

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
    WriteRecord(log, byteOrderMark, sizeof(byteOrderMark));
    if (keyError != 0 && log->file.valid()) {
        alignas(16) wchar_t record[64] = {};
        static const wchar_t text[] = L"stream_key_init_error=0x";
        size_t units = sizeof(text) / sizeof(wchar_t) - 1;
        std::memcpy(record, text, units * sizeof(wchar_t));
        units += AppendHex(record + units, keyError);
        record[units] = L'\n';
        WriteRecord(log, record, sizeof(record));
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
    if (log->file.valid())
        WriteRecord(log, data, bytes);
    if ((flags & SubmitFatal) != 0 && log->file.valid()) {
        IO_STATUS_BLOCK io{};
        ZwFlushBuffersFile(log->file.get(), &io);
    }
}

void WriteRecord(ProcessLog* log, void* data, uint32_t bytes) noexcept
{
    EnsureLogFile(log);
    if (!log->file.valid())
        return;
    if (log->encrypt) {
        bytes &= ~15u;
        EncryptRecord(log, data, bytes);
    }
    IO_STATUS_BLOCK io{};
    ZwWriteFile(log->file.get(), nullptr, nullptr, nullptr, &io, data, bytes, nullptr, nullptr);
}

void EnsureLogFile(ProcessLog* log) noexcept
{
    if (log->file.valid()) {
        StandardInformation info{};
        IO_STATUS_BLOCK io{};
        NTSTATUS status =
            ZwQueryInformationFile(log->file.get(), &io, &info, sizeof(info), OlvFileStandardInformation);
        if (status >= 0) {
            const auto size = static_cast<uint64_t>(info.endOfFile.QuadPart);
            if (size == 0) {
                // Another process's rotation emptied the file this handle names.
                log->file.reset();
            } else if (size < log->maxFileSize) {
                return;
            } else {
                RotateLogFile(log);
            }
        } else if (static_cast<DWORD>(status) == STATUS_INVALID_HANDLE) {
            // Someone closed our handle: its value may name another object by
            // now, so it is dropped, not closed.
            (void)log->file.release();
        } else {
            log->file.reset();
        }
    }
    if (!log->file.valid()) {
        LogFileMutex mutex;
        OpenLogFile(log);
    }
}

LogFileOpen OpenLogFile(ProcessLog* log) noexcept
{
    // Encryption is decided afresh at every open: the key may have changed.
    log->encrypt = false;
    uint32_t keyError = 0;
    if ((LogFlags() & 1) == 0)
        keyError = SetupLogEncryption(log);

    LogFileOpen result = OpenLiveFile(log, keyError);
    if (result != LogFileOpen::Opened || HeaderIsOwn(log))
        return result;
    // The file was begun by a process with another key (the volatile key is
    // new after every restart) or the other format: records appended to it
    // would decode under no header. It is moved away as a full file is, and
    // the records start a file with their own header.
    MoveLiveFileToOld(log);
    log->file.reset();
    result = OpenLiveFile(log, keyError);
    if (result == LogFileOpen::Opened && !HeaderIsOwn(log)) {
        // It could not be moved (its name has no room for ".old", or another
        // program holds it without delete sharing): its records are dropped
        // rather than written where nobody can read them.
        log->file.reset();
        return LogFileOpen::Failed;
    }
    return result;
}
