// Whether and how records are encrypted: the "OLVLOGFLAGS" switch, the stream
// key setup, the header of an encrypted file and the in-place record cipher.
//
// The stream key (shared by all processes of a user through the registry), its
// wrapping with the built-in public key and the AES-256 block function come with
// the key-setup and crypto code. Until that is linked in here, SetupLogEncryption
// leaves `encrypt` clear and reports no key error, so every file is written
// plain, exactly as when "OLVLOGFLAGS" bit 0 is set.
#include "log/ProcessLog.h"
#include "runtime/NtApi.h"
#include "runtime/ThreadQuery.h"

#include <cstdlib>

int LogFlags() noexcept
{
    // 64 zeroed units, 63 offered: a value of up to 62 characters is read, and a
    // longer one leaves the buffer empty (0).
    wchar_t value[64] = {};
    GetEnvironmentVariableW(L"OLVLOGFLAGS", value, 63);
    return _wtoi(value);
}

uint32_t SetupLogEncryption(ProcessLog* log) noexcept
{
    // Key setup seam: read or create the shared stream key into keyArea, expand
    // `cipher` from its first 32 bytes and set `encrypt`; return its error code.
    log->encrypt = false;
    return 0;
}

uint32_t WriteEncryptedHeader(ProcessLog* /*log*/) noexcept
{
    // Header seam: "OLVLOG.1", the blob length and the wrapped stream key. Not
    // reached while SetupLogEncryption never sets `encrypt`; a non-zero result
    // makes the new file plain.
    return ERROR_NOT_SUPPORTED;
}

void EncryptRecord(ProcessLog* log, void* /*data*/, uint32_t /*bytes*/) noexcept
{
    // The writer thread and a thread writing a fatal line may both get here.
    for (;;) {
        uint32_t expected = 0;
        if (log->cipherLock.compare_exchange_strong(expected, 1))
            break;
        if (IsLastThread())
            break;
        ZwYieldExecution();
    }
    // Cipher seam: each whole 16-byte block of the record is encrypted in place
    // with AES-256 under `cipher`, independently of the others.
    log->cipherLock.exchange(0);
}
