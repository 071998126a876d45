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
#include "base/ThreadQuery.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cwchar>

namespace {

// Access masks, shares and options of the three kinds of file handle.
constexpr ACCESS_MASK LiveAppendAccess = 0x100085;  // SYNCHRONIZE | READ_ATTRIBUTES | APPEND_DATA | READ_DATA
constexpr ACCESS_MASK OldFileAccess = 0x110082;     // SYNCHRONIZE | DELETE | READ_ATTRIBUTES | WRITE_DATA
constexpr ACCESS_MASK LiveRenameAccess = 0x110081;  // SYNCHRONIZE | DELETE | READ_ATTRIBUTES | READ_DATA
constexpr ULONG ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ULONG SyncNonDirectory = 0x60;  // FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE
constexpr ULONG DispositionOpenIf = 3;
constexpr ULONG_PTR FileOpened = 1;
constexpr ULONG CaseInsensitive = 0x40;
constexpr ULONG OpenIf = 0x80;

constexpr ULONG FileOpenedResult = 1;
constexpr ULONG FileCreatedResult = 2;
constexpr ULONG FileFailedResult = 5;

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

NTSTATUS OpenExisting(HANDLE* handle, ACCESS_MASK access, const wchar_t* path, size_t units)
{
    NativeName name(path, units, CaseInsensitive);
    IO_STATUS_BLOCK io{};
    return ZwOpenFile(handle, access, &name.attributes, &io, ShareAll, SyncNonDirectory);
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
    HANDLE old = nullptr;
    if (NtIsError(OpenExisting(&old, OldFileAccess, oldPath, oldUnits)) || old == nullptr)
        return;

    IO_STATUS_BLOCK io{};
    LARGE_INTEGER endOfFile{};
    ZwSetInformationFile(old, &io, &endOfFile, sizeof(endOfFile), OlvFileEndOfFileInformation);

    wchar_t killed[LogPathUnits + 16];
    const size_t directory = DirectoryUnits(log->path, std::wcslen(log->path));
    std::memcpy(killed, log->path, directory * sizeof(wchar_t));
    std::memcpy(killed + directory, L"killed.", 7 * sizeof(wchar_t));
    for (unsigned n = 0; n < KilledNameCount; ++n) {
        size_t units = directory + 7 + AppendHex(killed + directory + 7, n);
        if (!NtIsError(RenameTo(old, killed, units)))
            break;
    }

    BOOLEAN deleteFile = TRUE;
    ZwSetInformationFile(old, &io, &deleteFile, sizeof(deleteFile), OlvFileDispositionInformation);
    ZwClose(old);
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
    NTSTATUS status = ZwQueryInformationFile(log->file, &io, nameBuffer, sizeof(nameBuffer), OlvFileNameInformation);
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

    HANDLE live = nullptr;
    if (NtIsError(OpenExisting(&live, LiveRenameAccess, log->path, pathUnits)) || live == nullptr)
        return;
    // Only the file this handle found full is moved. When another process has
    // moved it already, the live path names that process's new file, and
    // moving that one would delete the full file from ".old". The name check
    // above misses this under Wine, whose handles keep the name they were
    // opened with; the files' numbers tell on both systems.
    LARGE_INTEGER full{};
    LARGE_INTEGER atLivePath{};
    if (FileIndex(log->file, &full) && FileIndex(live, &atLivePath) && full.QuadPart != atLivePath.QuadPart) {
        ZwClose(live);
        return;
    }
    RemoveOldFile(log, oldPath, oldUnits);
    RenameTo(live, oldPath, oldUnits);
    ZwClose(live);
}

void RotateLogFile(ProcessLog* log) OLV_REQUIRES(log->fileLock)
{
    LogFileMutex mutex;
    MoveLiveFileToOld(log);
    ZwClose(log->file);
    log->file = nullptr;
    OpenLogFile(log);
}

// Opens or creates the live file; a new (or empty) one gets its header, whose
// first block goes through WriteRecord so that it is encrypted like every
// record after it. Returns FileOpenedResult for a file that already had
// content, FileCreatedResult or FileFailedResult (`file` null).
ULONG OpenLiveFile(ProcessLog* log, uint32_t keyError) OLV_REQUIRES(log->fileLock)
{
    NativeName name(log->path, std::wcslen(log->path), CaseInsensitive | OpenIf);
    IO_STATUS_BLOCK io{};
    HANDLE file = nullptr;
    NTSTATUS status = ZwCreateFile(&file, LiveAppendAccess, &name.attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                                   ShareAll, DispositionOpenIf, SyncNonDirectory, nullptr, 0);
    if (NtIsError(status)) {
        log->file = nullptr;
        return FileFailedResult;
    }
    log->file = file;
    if (io.Information == FileOpened) {
        // An empty file has no header to keep: it gets this process's, as a
        // new one would.
        StandardInformation info{};
        IO_STATUS_BLOCK queryIo{};
        if (ZwQueryInformationFile(file, &queryIo, &info, sizeof(info), OlvFileStandardInformation) < 0 ||
            info.endOfFile.QuadPart != 0)
            return FileOpenedResult;
    }

    if (log->encrypt) {
        if (uint32_t wrapError = WriteEncryptedHeader(log); wrapError != 0) {
            log->encrypt = false;
            keyError = wrapError;
        }
    }
    if (!log->encrypt) {
        IO_STATUS_BLOCK magicIo{};
        ZwWriteFile(log->file, nullptr, nullptr, nullptr, &magicIo, const_cast<char*>(PlainMagic), sizeof(PlainMagic),
                    nullptr, nullptr);
    }
    alignas(16) unsigned char byteOrderMark[16] = {0xFF, 0xFE};
    WriteRecord(log, byteOrderMark, sizeof(byteOrderMark));
    if (keyError != 0 && log->file != nullptr) {
        alignas(16) wchar_t record[64] = {};
        static const wchar_t text[] = L"stream_key_init_error=0x";
        size_t units = sizeof(text) / sizeof(wchar_t) - 1;
        std::memcpy(record, text, units * sizeof(wchar_t));
        units += AppendHex(record + units, keyError);
        record[units] = L'\n';
        WriteRecord(log, record, sizeof(record));
    }
    return FileCreatedResult;
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
    NTSTATUS status = ZwReadFile(log->file, nullptr, nullptr, nullptr, &io, found, expectedBytes, &start, nullptr);
    return status >= 0 && io.Information == expectedBytes && std::memcmp(found, expected, expectedBytes) == 0;
}

}  // namespace

void AcquireFileLock(ProcessLog* log) noexcept
{
    for (;;) {
        uint32_t expected = 0;
        if (log->fileLock.compare_exchange_strong(expected, 1))
            return;
        if (IsLastThread())
            return;
        ZwYieldExecution();
    }
}

void ReleaseFileLock(ProcessLog* log) noexcept
{
    log->fileLock.exchange(0);
}

void WriteBlock(ProcessLog* log, uint32_t flags, void* data, uint32_t bytes) noexcept
{
    if (log->file != nullptr)
        WriteRecord(log, data, bytes);
    if ((flags & SubmitFatal) != 0 && log->file != nullptr) {
        IO_STATUS_BLOCK io{};
        ZwFlushBuffersFile(log->file, &io);
    }
}

void WriteRecord(ProcessLog* log, void* data, uint32_t bytes) noexcept
{
    EnsureLogFile(log);
    if (log->file == nullptr)
        return;
    if (log->encrypt) {
        bytes &= ~15u;
        EncryptRecord(log, data, bytes);
    }
    IO_STATUS_BLOCK io{};
    ZwWriteFile(log->file, nullptr, nullptr, nullptr, &io, data, bytes, nullptr, nullptr);
}

void EnsureLogFile(ProcessLog* log) noexcept
{
    if (log->file != nullptr) {
        StandardInformation info{};
        IO_STATUS_BLOCK io{};
        NTSTATUS status = ZwQueryInformationFile(log->file, &io, &info, sizeof(info), OlvFileStandardInformation);
        if (status >= 0) {
            const auto size = static_cast<uint64_t>(info.endOfFile.QuadPart);
            if (size == 0) {
                // Another process's rotation emptied the file this handle names.
                ZwClose(log->file);
                log->file = nullptr;
            } else if (size < log->maxFileSize) {
                return;
            } else {
                RotateLogFile(log);
            }
        } else if (static_cast<DWORD>(status) == STATUS_INVALID_HANDLE) {
            // Someone closed our handle: its value may name another object by
            // now, so it is dropped, not closed.
            log->file = nullptr;
        } else {
            ZwClose(log->file);
            log->file = nullptr;
        }
    }
    if (log->file == nullptr) {
        LogFileMutex mutex;
        OpenLogFile(log);
    }
}

ULONG OpenLogFile(ProcessLog* log) noexcept
{
    // Encryption is decided afresh at every open: the key may have changed.
    log->encrypt = false;
    uint32_t keyError = 0;
    if ((LogFlags() & 1) == 0)
        keyError = SetupLogEncryption(log);

    ULONG result = OpenLiveFile(log, keyError);
    if (result != FileOpenedResult || HeaderIsOwn(log))
        return result;
    // The file was begun by a process with another key (the volatile key is
    // new after every restart) or the other format: records appended to it
    // would decode under no header. It is moved away as a full file is, and
    // the records start a file with their own header.
    MoveLiveFileToOld(log);
    ZwClose(log->file);
    log->file = nullptr;
    result = OpenLiveFile(log, keyError);
    if (result == FileOpenedResult && !HeaderIsOwn(log)) {
        // It could not be moved (its name has no room for ".old", or another
        // program holds it without delete sharing): its records are dropped
        // rather than written where nobody can read them.
        ZwClose(log->file);
        log->file = nullptr;
        return FileFailedResult;
    }
    return result;
}
