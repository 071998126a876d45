#include "log/LogKeyConfig.h"

#include "log/ProcessLog.h"
#include "log/crypto/WipeSecret.h"
#include "base/NtApi.h"

#include <cstring>

std::atomic<const RsaPublicKey*> LogSealingKey{nullptr};
std::atomic<StreamKeySeedSource> LogKeySeedSource{&SystemSeedSource};
std::atomic<LogKeyPause> LogKeyValuePause{&Sleep};

namespace {

constexpr ULONG KeyValueBufferExtra = 16;         // room for the 12-byte partial-information header
constexpr uint32_t KeyValueLargestExpected = 64;  // keyArea's size bounds what is ever read
constexpr ULONG ValueDataOffset = 12;             // TitleIndex, Type, DataLength, then the data

struct KeyName {
    UNICODE_STRING string;
    OBJECT_ATTRIBUTES attributes;

    KeyName(HANDLE root, const wchar_t* name, size_t units, ULONG flags)
    {
        string.Length = static_cast<USHORT>(units * sizeof(wchar_t));
        string.MaximumLength = string.Length;
        string.Buffer = const_cast<wchar_t*>(name);
        attributes = {};
        attributes.Length = sizeof(attributes);
        attributes.RootDirectory = root;
        attributes.ObjectName = &string;
        attributes.Attributes = flags;
    }
};

UNICODE_STRING ValueName()
{
    UNICODE_STRING name;
    name.Length = static_cast<USHORT>((sizeof(LogKeyValueName) / sizeof(wchar_t) - 1) * sizeof(wchar_t));
    name.MaximumLength = name.Length;
    name.Buffer = const_cast<wchar_t*>(LogKeyValueName);
    return name;
}

constexpr size_t ConfigPathUnits = sizeof(LogKeyConfigPath) / sizeof(wchar_t) - 1;

// What a key-opening call left: the handle on success, none on failure.
UniqueNtHandle KeyOrNone(NTSTATUS status, HANDLE key)
{
    return UniqueNtHandle(NtIsError(status) ? nullptr : key);
}

}  // namespace

UniqueNtHandle OpenCurrentUserRoot(NTSTATUS* status) noexcept
{
    UNICODE_STRING userPath{};
    *status = RtlFormatCurrentUserKeyPath(&userPath);
    if (NtIsError(*status))
        return UniqueNtHandle();
    OBJECT_ATTRIBUTES attributes{};
    attributes.Length = sizeof(attributes);
    attributes.ObjectName = &userPath;
    attributes.Attributes = OBJ_CASE_INSENSITIVE | OBJ_OPENIF;
    HANDLE root = nullptr;
    *status = ZwOpenKey(&root, MAXIMUM_ALLOWED, &attributes);
    RtlFreeUnicodeString(&userPath);
    return KeyOrNone(*status, root);
}

UniqueNtHandle OpenConfigKey(HANDLE root, bool create, bool* created, NTSTATUS* lastStatus) noexcept
{
    *created = false;
    if (!create) {
        KeyName name(root, LogKeyConfigPath, ConfigPathUnits, OBJ_CASE_INSENSITIVE);
        HANDLE key = nullptr;
        *lastStatus = ZwOpenKey(&key, KEY_READ, &name.attributes);
        return KeyOrNone(*lastStatus, key);
    }

    // ZwCreateKey does not create missing parents: each prefix in turn. The
    // handle of the previous prefix closes as the next one is opened.
    UniqueNtHandle key;
    for (size_t units = 1; units <= ConfigPathUnits; ++units) {
        const bool whole = units == ConfigPathUnits;
        if (!whole && LogKeyConfigPath[units] != L'\\')
            continue;
        key.reset();
        KeyName name(root, LogKeyConfigPath, units, OBJ_CASE_INSENSITIVE | OBJ_OPENIF);
        HANDLE opened = nullptr;
        *lastStatus = ZwOpenKey(&opened, MAXIMUM_ALLOWED, &name.attributes);
        key = KeyOrNone(*lastStatus, opened);
        if (key.valid())
            continue;
        ULONG disposition = 0;
        HANDLE made = nullptr;
        *lastStatus = ZwCreateKey(&made, MAXIMUM_ALLOWED, &name.attributes, 0, nullptr,
                                  whole ? REG_OPTION_VOLATILE : 0, &disposition);
        key = KeyOrNone(*lastStatus, made);
        if (!key.valid())
            continue;
        // Another process may have created it between the open and the create:
        // then it is that process that is about to store the value.
        if (disposition == REG_CREATED_NEW_KEY)
            *created = true;
    }
    return key;
}

uint32_t ReadKeyValue(HANDLE key, uint8_t* destination, uint32_t* length) noexcept
{
    const uint32_t expected = *length;
    if (expected > KeyValueLargestExpected)
        return KeyValueMissing;
    alignas(8) uint8_t buffer[KeyValueLargestExpected + KeyValueBufferExtra];
    const ULONG bufferBytes = expected + KeyValueBufferExtra;
    UNICODE_STRING name = ValueName();
    ULONG resultLength = 0;
    NTSTATUS status = ZwQueryValueKey(key, &name, OlvKeyValuePartialInformation, buffer, bufferBytes, &resultLength);

    uint32_t result = KeyValueMissing;
    if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) {
        // The result length covers the header and the whole data.
        *length = resultLength > ValueDataOffset ? resultLength - ValueDataOffset : 0;
        result = KeyValueWrongLength;
    } else if (!NtIsError(status)) {
        ULONG dataLength = 0;
        std::memcpy(&dataLength, buffer + 8, sizeof(dataLength));
        if (dataLength != expected) {
            *length = dataLength;
            result = KeyValueWrongLength;
        } else {
            std::memcpy(destination, buffer + ValueDataOffset, expected);
            result = KeyValueRead;
        }
    }
    WipeSecret(buffer, sizeof(buffer));
    return result;
}

uint32_t SetupStreamKey(ProcessLog* log) noexcept
{
    uint8_t* keyArea = log->keyArea;
    std::memset(keyArea, 0, StreamKeyAreaLength);

    NTSTATUS status = STATUS_SUCCESS;
    UniqueNtHandle key;
    bool created = false;
    {
        UniqueNtHandle root = OpenCurrentUserRoot(&status);
        if (!root.valid())
            return status != STATUS_SUCCESS ? static_cast<uint32_t>(status) : KeySetupFailed;

        if (UniqueNtHandle readOnly = OpenConfigKey(root.get(), false, &created, &status); readOnly.valid()) {
            uint32_t length = StreamKeyLength;
            if (ReadKeyValue(readOnly.get(), keyArea, &length) == KeyValueRead)
                return 0;
        }
        key = OpenConfigKey(root.get(), true, &created, &status);
    }
    if (!key.valid())
        return status != STATUS_SUCCESS ? static_cast<uint32_t>(status) : KeySetupFailed;

    // The key exists without a usable value: another process that has just
    // created it is probably about to store one.
    if (!created) {
        for (unsigned read = 0; read < KeyValueReads; ++read) {
            uint32_t length = StreamKeyLength;
            if (ReadKeyValue(key.get(), keyArea, &length) == KeyValueRead)
                return 0;
            if (read + 1 < KeyValueReads)
                LogKeyValuePause.load()(KeyValueReadInterval);
        }
    }

    RsaPublicKey builtIn;
    const RsaPublicKey* sealingKey = LogSealingKey.load();
    if (sealingKey == nullptr) {
        GetBuiltInLogKey(&builtIn);
        sealingKey = &builtIn;
    }
    // A wrap failure keeps the key (and it is stored): the header write reports
    // it. A seed failure leaves no key at all, and nothing must be stored.
    int32_t generated = GenerateStreamKey(keyArea, sealingKey, LogKeySeedSource.load(), nullptr);
    if (generated == StreamKeySeedFailed)
        return static_cast<uint32_t>(generated);

    // Someone may have stored a value while this one was being made: theirs wins.
    if (!created) {
        uint32_t length = StreamKeyLength;
        if (ReadKeyValue(key.get(), keyArea, &length) == KeyValueRead)
            return 0;
    }

    UNICODE_STRING name = ValueName();
    status = ZwSetValueKey(key.get(), &name, 0, REG_BINARY, keyArea, StreamKeyLength);
    if (NtIsError(status)) {
        std::memset(keyArea, 0, StreamKeyAreaLength);
        return static_cast<uint32_t>(status);
    }
    return 0;
}
