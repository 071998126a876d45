// The stream key that all processes of a user share until the system restarts:
// the volatile registry key "Software\AppDataLow\OLVVolatile\OlvLog" in the
// current user's hive (the impersonated user's when the thread impersonates)
// holds it as the REG_BINARY value "key", exactly 32 bytes.
//
// The first process that finds no usable value generates a key and stores it;
// every later open, in any process, reads the same 32 bytes. The last path
// component is volatile, so the key vanishes at system restart and the next
// open makes a new one. Files keep the key their header was sealed with.
#pragma once

#include "log/ProcessLog.h"
#include "log/UniqueNtHandle.h"
#include "log/crypto/RsaPublicKey.h"
#include "log/crypto/StreamKey.h"

#include <windows.h>
#include <winternl.h>

#include <atomic>
#include <cstdint>

// Below the user's root; every component but the last is an ordinary key.
inline constexpr wchar_t LogKeyConfigPath[] = L"Software\\AppDataLow\\OLVVolatile\\OlvLog";
inline constexpr wchar_t LogKeyValueName[] = L"key";

// ReadKeyValue results (Win32 error numbers, as the stored key's readers know them).
constexpr uint32_t KeyValueRead = 0;
constexpr uint32_t KeyValueWrongLength = ERROR_BAD_LENGTH;  // *length receives the stored length
constexpr uint32_t KeyValueMissing = ERROR_FILE_NOT_FOUND;  // no value, or the query failed

// SetupStreamKey's answer when neither the key could be opened or created nor
// a registry status says why.
constexpr uint32_t KeySetupFailed = 5;

// A process that finds the key without a usable value waits this long for
// another process to store one: 101 reads, 30 ms apart.
constexpr unsigned KeyValueReads = 101;
constexpr DWORD KeyValueReadInterval = 30;

// How the process waits between two of those reads. Tests replace it to count
// the pauses, or to learn that an opener has begun to wait; the logger itself
// leaves it at Sleep.
using LogKeyPause = void(WINAPI*)(DWORD milliseconds);
extern std::atomic<LogKeyPause> LogKeyValuePause;

// What seals and seeds new stream keys. Tests replace them; the logger itself
// leaves them at the built-in public key (null) and the system's generator.
extern std::atomic<const RsaPublicKey*> LogSealingKey;
extern std::atomic<StreamKeySeedSource> LogKeySeedSource;

// Fills the first 32 bytes of log->keyArea with the shared stream key (the rest
// of keyArea stays zero), reading it from the registry or generating and
// storing a new one. Returns 0; the NTSTATUS of the registry call that failed;
// KeySetupFailed; or StreamKeySeedFailed when no key could be generated (then
// nothing is stored and keyArea is zero). `cipher` is not touched: the caller
// replaces it. Both run under the file lock.
uint32_t SetupStreamKey(ProcessLog* log) noexcept OLV_REQUIRES(log->fileLock);

// Opens the key path below `root` (from the current user's root). Read-only:
// only opens, for KEY_READ. Create mode: opens or creates each component in
// turn, the last one volatile; *created tells whether any was created. Returns
// the key, or none; *lastStatus receives the status of the last registry call.
UniqueNtHandle OpenConfigKey(HANDLE root, bool create, bool* created, NTSTATUS* lastStatus) noexcept;

// Reads the value "key" into `destination`, which has room for *length bytes,
// the length the value must have. Returns KeyValueRead; KeyValueWrongLength
// with the stored length in *length (a value of another length, larger ones
// included, counts as missing); or KeyValueMissing. Only the length is tested,
// not the type.
uint32_t ReadKeyValue(HANDLE key, uint8_t* destination, uint32_t* length) noexcept;

// The current user's registry root ("\Registry\User\<sid>" for the thread's
// user), opened for MAXIMUM_ALLOWED, or none with the failing status in *status.
UniqueNtHandle OpenCurrentUserRoot(NTSTATUS* status) noexcept;
