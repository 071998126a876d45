// Declarations of the native system calls that the runtime and the logger use
// and that the mingw-w64 headers lack (they declare some Nt* forms, no Zw* ones).
// Every module links ntdll directly (-lntdll); the Zw and Nt exports are the same
// entry points in user mode.
#pragma once

#include <windows.h>
#include <winternl.h>

#ifndef STATUS_SUCCESS
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#endif
#ifndef STATUS_TIMEOUT
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#endif
#ifndef STATUS_BUFFER_OVERFLOW
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#endif
#ifndef STATUS_BUFFER_TOO_SMALL
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#endif
#ifndef STATUS_INVALID_HANDLE
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#endif
#ifndef STATUS_OBJECT_NAME_NOT_FOUND
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#endif

// An NTSTATUS has error severity when both top bits are set.
constexpr bool NtIsError(NTSTATUS status) noexcept
{
    return (static_cast<unsigned long>(status) >> 30) == 3;
}

// Event types of ZwCreateEvent.
constexpr int OlvNotificationEvent = 0;   // manual reset
constexpr int OlvSynchronizationEvent = 1;  // auto reset

constexpr ACCESS_MASK OlvEventAllAccess = 0x1F0003;

// Event information class EventBasicInformation, and what it returns.
constexpr ULONG OlvEventBasicInformation = 0;
struct OlvEventBasicInfo {
    int eventType;    // OlvNotificationEvent or OlvSynchronizationEvent
    LONG eventState;  // non-zero: signalled
};
constexpr ACCESS_MASK OlvMutantAllAccess = 0x1F0001;

// Thread information class ThreadAmILastThread.
constexpr ULONG OlvThreadAmILastThread = 12;

// Key value information class KeyValuePartialInformation.
constexpr ULONG OlvKeyValuePartialInformation = 2;

// File information classes used with the native file calls.
constexpr ULONG OlvFileNameInformation = 9;
constexpr ULONG OlvFileRenameInformation = 10;
constexpr ULONG OlvFileDispositionInformation = 13;
constexpr ULONG OlvFileStandardInformation = 5;
constexpr ULONG OlvFileInternalInformation = 6;
constexpr ULONG OlvFileEndOfFileInformation = 20;

extern "C" {

NTSTATUS NTAPI ZwClose(HANDLE handle);
NTSTATUS NTAPI ZwCreateEvent(PHANDLE eventHandle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                             int eventType, BOOLEAN initialState);
NTSTATUS NTAPI ZwSetEvent(HANDLE eventHandle, PLONG previousState);
NTSTATUS NTAPI ZwResetEvent(HANDLE eventHandle, PLONG previousState);
NTSTATUS NTAPI ZwQueryEvent(HANDLE eventHandle, ULONG infoClass, PVOID info, ULONG infoLength, PULONG returnLength);
NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE handle, BOOLEAN alertable, PLARGE_INTEGER timeout);
NTSTATUS NTAPI ZwYieldExecution(void);
NTSTATUS NTAPI ZwQueryInformationThread(HANDLE thread, ULONG infoClass, PVOID info, ULONG infoLength,
                                        PULONG returnLength);

NTSTATUS NTAPI ZwCreateMutant(PHANDLE mutantHandle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                              BOOLEAN initialOwner);
NTSTATUS NTAPI ZwReleaseMutant(HANDLE mutantHandle, PLONG previousCount);

NTSTATUS NTAPI ZwCreateFile(PHANDLE fileHandle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                            PIO_STATUS_BLOCK ioStatus, PLARGE_INTEGER allocationSize, ULONG fileAttributes,
                            ULONG shareAccess, ULONG createDisposition, ULONG createOptions, PVOID eaBuffer,
                            ULONG eaLength);
NTSTATUS NTAPI ZwOpenFile(PHANDLE fileHandle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                          PIO_STATUS_BLOCK ioStatus, ULONG shareAccess, ULONG openOptions);
NTSTATUS NTAPI ZwWriteFile(HANDLE fileHandle, HANDLE event, PVOID apcRoutine, PVOID apcContext,
                           PIO_STATUS_BLOCK ioStatus, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset,
                           PULONG key);
NTSTATUS NTAPI ZwReadFile(HANDLE fileHandle, HANDLE event, PVOID apcRoutine, PVOID apcContext,
                          PIO_STATUS_BLOCK ioStatus, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset,
                          PULONG key);
NTSTATUS NTAPI ZwQueryInformationFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PVOID info, ULONG length,
                                      ULONG infoClass);
NTSTATUS NTAPI ZwSetInformationFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PVOID info, ULONG length,
                                    ULONG infoClass);
NTSTATUS NTAPI ZwFlushBuffersFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus);

NTSTATUS NTAPI ZwOpenKey(PHANDLE keyHandle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes);
NTSTATUS NTAPI ZwCreateKey(PHANDLE keyHandle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, ULONG titleIndex,
                           PUNICODE_STRING className, ULONG createOptions, PULONG disposition);
NTSTATUS NTAPI ZwQueryValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, ULONG infoClass, PVOID info,
                               ULONG length, PULONG resultLength);
NTSTATUS NTAPI ZwSetValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, ULONG titleIndex, ULONG type,
                             PVOID data, ULONG dataSize);
NTSTATUS NTAPI ZwDeleteKey(HANDLE keyHandle);

NTSTATUS NTAPI RtlFormatCurrentUserKeyPath(PUNICODE_STRING currentUserKeyPath);

}  // extern "C"
