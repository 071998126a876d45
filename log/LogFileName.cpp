#include "log/LogFileName.h"

#include "base/NtApi.h"

#include <utility>

std::atomic<LogFileFactsSource> LogFileFactsOf{&QueryLogFileFacts};

namespace {

constexpr ULONG FileAttributeTagInformationClass = 35;
// Reparse tags of this kind name another file (IsReparseTagNameSurrogate).
constexpr ULONG NameSurrogateTag = 0x20000000;
constexpr NTSTATUS ObjectNameCollision = static_cast<NTSTATUS>(0xC0000035);  // STATUS_OBJECT_NAME_COLLISION
constexpr ULONG ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

struct AttributeTagInformation {
    ULONG fileAttributes;
    ULONG reparseTag;
};

// The object name of an open handle ("\Device\HarddiskVolume2\logs\trace.log";
// Wine: "\??\Z:\logs\trace.log") into `out`, `room` units; its length, or 0
// when it cannot be read or does not fit.
size_t ObjectName(HANDLE handle, wchar_t* out, size_t room)
{
    alignas(8) unsigned char buffer[sizeof(UNICODE_STRING) + LogFolder::NameUnits * sizeof(wchar_t)];
    ULONG length = 0;
    if (NtIsError(NtQueryObject(handle, ObjectNameInformation, buffer, sizeof(buffer), &length)))
        return 0;
    const auto* name = reinterpret_cast<const UNICODE_STRING*>(buffer);
    const size_t units = name->Length / sizeof(wchar_t);
    if (name->Buffer == nullptr || units == 0 || units > room)
        return 0;
    for (size_t i = 0; i < units; ++i)
        out[i] = name->Buffer[i];
    return units;
}

struct NativeName {
    UNICODE_STRING string;
    OBJECT_ATTRIBUTES attributes;

    NativeName(const wchar_t* path, size_t units)
    {
        string.Length = static_cast<USHORT>(units * sizeof(wchar_t));
        string.MaximumLength = string.Length;
        string.Buffer = const_cast<wchar_t*>(path);
        attributes = {};
        attributes.Length = sizeof(attributes);
        attributes.ObjectName = &string;
        attributes.Attributes = OBJ_CASE_INSENSITIVE;
    }
};

constexpr ULONG OpenOptions = FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE;

NTSTATUS Open(UniqueNtHandle& handle, ACCESS_MASK access, NativeName& name, ULONG disposition, ULONG options)
{
    IO_STATUS_BLOCK io{};
    const NTSTATUS status = ZwCreateFile(handle.put(), access, &name.attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                                         ShareAll, disposition, options, nullptr, 0);
    if (NtIsError(status))
        (void)handle.release();  // a failed open leaves no handle to close
    return status;
}

bool SameFile(HANDLE one, HANDLE other)
{
    LARGE_INTEGER first{};
    LARGE_INTEGER second{};
    IO_STATUS_BLOCK io{};
    return ZwQueryInformationFile(one, &io, &first, sizeof(first), OlvFileInternalInformation) >= 0 &&
           ZwQueryInformationFile(other, &io, &second, sizeof(second), OlvFileInternalInformation) >= 0 &&
           first.QuadPart == second.QuadPart;
}

// Whether the file `handle` holds, opened as itself, is one the log may use.
// A reparse point that holds data is replaced in `handle` by the same file
// opened through its filter.
bool IsPlainLogFile(UniqueNtHandle& handle, ACCESS_MASK access, NativeName& name, const LogFolder& folder)
{
    LogFileFacts facts;
    if (NtIsError(LogFileFactsOf.load()(handle.get(), &facts)))
        return false;
    if ((facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        if ((facts.reparseTag & NameSurrogateTag) != 0)
            return false;
        UniqueNtHandle served;
        if (NtIsError(Open(served, access, name, FILE_OPEN, OpenOptions)) || !SameFile(handle.get(), served.get()))
            return false;
        handle = std::move(served);
    }
    return facts.links == 1 && folder.Holds(handle.get());
}

}  // namespace

NTSTATUS QueryLogFileFacts(HANDLE file, LogFileFacts* facts) noexcept
{
    AttributeTagInformation tag{};
    IO_STATUS_BLOCK io{};
    NTSTATUS status = ZwQueryInformationFile(file, &io, &tag, sizeof(tag), FileAttributeTagInformationClass);
    if (NtIsError(status))
        return status;
    LogStandardInformation standard{};
    status = ZwQueryInformationFile(file, &io, &standard, sizeof(standard), OlvFileStandardInformation);
    if (NtIsError(status))
        return status;
    facts->attributes = tag.fileAttributes;
    facts->reparseTag = tag.reparseTag;
    facts->links = standard.numberOfLinks;
    return STATUS_SUCCESS;
}

LogFolder::LogFolder(const wchar_t* path, size_t pathUnits) noexcept
{
    size_t separator = pathUnits;
    while (separator > 0 && path[separator - 1] != L'\\' && path[separator - 1] != L'/')
        --separator;
    if (separator == 0)
        return;
    // "\??\C:\x.log" lies in the root "\??\C:\", which keeps its separator.
    size_t folderUnits = separator - 1;
    if (folderUnits > 0 && path[folderUnits - 1] == L':')
        folderUnits = separator;
    NativeName folderName(path, folderUnits);
    UniqueNtHandle folder;
    IO_STATUS_BLOCK io{};
    // The folder itself is the opener's choice: a junction on its way is followed.
    if (NtIsError(ZwOpenFile(folder.put(), FILE_LIST_DIRECTORY | SYNCHRONIZE, &folderName.attributes, &io, ShareAll,
                             FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT))) {
        (void)folder.release();
        return;
    }
    size_t named = ObjectName(folder.get(), name, NameUnits - 1);
    if (named == 0)
        return;
    if (name[named - 1] != L'\\')
        name[named++] = L'\\';
    units = named;
}

bool LogFolder::Holds(HANDLE file) const noexcept
{
    if (units == 0)
        return false;
    wchar_t fileName[NameUnits];
    const size_t fileUnits = ObjectName(file, fileName, NameUnits);
    size_t separator = fileUnits;
    while (separator > 0 && fileName[separator - 1] != L'\\')
        --separator;
    return separator == units && separator < fileUnits &&
           CompareStringOrdinal(fileName, static_cast<int>(units), name, static_cast<int>(units), TRUE) == CSTR_EQUAL;
}

LogNameResult OpenLogName(UniqueNtHandle& handle, ACCESS_MASK access, const wchar_t* path, size_t units,
                          const LogFolder& folder, bool create) noexcept
{
    NativeName name(path, units);
    const ULONG asItself = OpenOptions | FILE_OPEN_REPARSE_POINT;
    LogNameOpen opened = LogNameOpen::Opened;
    NTSTATUS status = Open(handle, access, name, FILE_OPEN, asItself);
    if (create && status == STATUS_OBJECT_NAME_NOT_FOUND) {
        // Created only where no name exists at all. An open-if would create
        // the missing target of a link that the open followed (Wine follows
        // every Linux link); a create fails on the link itself.
        status = Open(handle, access, name, FILE_CREATE, asItself);
        opened = LogNameOpen::Created;
        if (status == ObjectNameCollision) {
            // Made by another process in between, or a link to nowhere.
            status = Open(handle, access, name, FILE_OPEN, asItself);
            opened = LogNameOpen::Opened;
        }
    }
    if (NtIsError(status))
        return {!create && status == STATUS_OBJECT_NAME_NOT_FOUND ? LogNameOpen::Missing : LogNameOpen::Failed, status};
    if (!IsPlainLogFile(handle, access, name, folder)) {
        handle.reset();
        return {LogNameOpen::Refused, STATUS_SUCCESS};
    }
    return {opened, STATUS_SUCCESS};
}
