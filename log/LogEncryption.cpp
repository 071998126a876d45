// Whether and how records are encrypted: the "OLVLOGFLAGS" switch, the stream
// key setup, the header of an encrypted file and the in-place record cipher.
//
// Every 16-byte block of a record is encrypted by itself with AES-256 under the
// stream key (no IV, no chaining): a reader needs only the key from the file's
// header, and records that several processes sharing the key append to one file
// all decode. The key reaches the header sealed with the public key built into
// the library (or the one a test installs in LogSealingKey).
#include "log/LogKeyConfig.h"
#include "log/ProcessLog.h"
#include "log/crypto/Aes256Schedule.h"
#include "log/crypto/StreamKey.h"
#include "log/crypto/WipeSecret.h"
#include "base/NtApi.h"

#include <cstdlib>
#include <cstring>

static_assert(sizeof(Aes256Schedule) == LogCipherBytes, "cipher holds exactly one AES-256 schedule");
static_assert(EncryptedHeaderMaxBytes == 8 + 4 + StreamKeyBlobLength, "the header holds one sealed stream key");

namespace {

// The writer thread and a thread writing a fatal line may both encrypt, and a
// reopen on one of them replaces the schedule: all of it happens under the
// file lock, which every write holds.
Aes256Schedule* Schedule(ProcessLog* log) noexcept OLV_REQUIRES(log->fileLock)
{
    // A plain byte record: any alignment will do.
    return reinterpret_cast<Aes256Schedule*>(log->cipher);
}

// Seals all 64 bytes of keyArea for a file header.
int32_t SealStreamKey(const uint8_t* keyArea, uint8_t* blob, uint32_t* length) noexcept
{
    const RsaPublicKey* key = LogSealingKey.load();
    if (key == nullptr)
        return WrapStreamKey(keyArea, blob, length);
    if (*length < StreamKeyBlobLength || (static_cast<uint32_t>(key->bits) + 7) / 8 > *length)
        return RsaBadLength;
    return RsaPublicBlock(blob, length, keyArea, key);
}

}  // namespace

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
    log->encrypt = false;
    uint32_t keyError = SetupStreamKey(log);

    // A key that cannot be sealed could never be read back, not even from a
    // file that already has a header: such a log is written plain. The check
    // costs one public-key operation per open.
    if (keyError == 0) {
        uint8_t blob[RsaMaxModulusLength];
        uint32_t length = sizeof(blob);
        int32_t sealed = SealStreamKey(log->keyArea, blob, &length);
        if (sealed != 0)
            keyError = static_cast<uint32_t>(sealed);
    }

    Aes256Schedule schedule;
    if (keyError == 0)
        Aes256ExpandKey(&schedule, log->keyArea);
    else
        std::memset(&schedule, 0, sizeof(schedule));
    std::memcpy(log->cipher, &schedule, sizeof(schedule));
    Aes256WipeSchedule(&schedule);

    if (keyError != 0) {
        WipeSecret(log->keyArea, sizeof(log->keyArea));
        return keyError;
    }
    log->encrypt = true;
    return 0;
}

uint32_t BuildEncryptedHeader(const ProcessLog* log, uint8_t (&header)[EncryptedHeaderMaxBytes],
                              uint32_t* bytes) noexcept
{
    uint8_t blob[StreamKeyBlobLength] = {};
    uint32_t length = StreamKeyBlobLength;
    if (int32_t sealed = SealStreamKey(log->keyArea, blob, &length); sealed != 0)
        return static_cast<uint32_t>(sealed);
    static const char magic[8] = {'O', 'L', 'V', 'L', 'O', 'G', '.', '1'};
    std::memcpy(header, magic, sizeof(magic));
    std::memcpy(header + sizeof(magic), &length, sizeof(length));
    std::memcpy(header + sizeof(magic) + sizeof(length), blob, length);
    *bytes = static_cast<uint32_t>(sizeof(magic) + sizeof(length)) + length;
    return 0;
}

uint32_t WriteEncryptedHeader(ProcessLog* log) noexcept
{
    uint8_t header[EncryptedHeaderMaxBytes];
    uint32_t bytes = 0;
    if (uint32_t error = BuildEncryptedHeader(log, header, &bytes); error != 0)
        return error;
    IO_STATUS_BLOCK io{};
    ZwWriteFile(log->file.get(), nullptr, nullptr, nullptr, &io, header, bytes, nullptr, nullptr);
    return 0;
}

void EncryptRecord(ProcessLog* log, void* data, uint32_t bytes) noexcept
{
    Aes256EncryptBlocks(Schedule(log), static_cast<uint8_t*>(data), bytes / Aes256BlockLength);
}
