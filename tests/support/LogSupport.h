// Helpers of the tests that write and read logs (the logger's and the log
// reader's): the process log for one scope, lines logged in one go, the
// "OLVLOGFLAGS" variable for one scope, the development private key, the
// user's shared stream key in the registry (read, planted, removed), and the
// pieces of an encrypted file.
//
// Tests that use the shared key declare RESOURCE_LOCK olv_log_key.
#pragma once

#include "log/LogKeyConfig.h"
#include "log/reader/LogPrivateKey.h"
#include "log/OlvLog.h"
#include "log/ProcessLogControl.h"
#include "log/crypto/Aes256Schedule.h"
#include "log/crypto/StreamKey.h"

#include "DevKeyPair.h"

#include <windows.h>

#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// The process log for one scope.
class ScopedLog {
public:
    ScopedLog(const std::wstring& path, unsigned minLevel, uint64_t maxFileSize, bool writerThread)
        : result(OlvLog_Open(path.c_str(), minLevel, maxFileSize, writerThread))
    {
    }
    ~ScopedLog() { OlvLog_Close(); }
    ScopedLog(const ScopedLog&) = delete;
    ScopedLog& operator=(const ScopedLog&) = delete;

    OlvLogOpenResult result;
};

// Opens the process log on `path` (encrypted or not, as "OLVLOGFLAGS" says),
// writes each message as an error line, which leaves at once, and closes it
// again. False when the log could not be opened.
inline bool LogLines(const std::wstring& path, std::initializer_list<std::wstring> messages, bool writerThread = false,
                     uint64_t maxFileSize = 64ull << 20)
{
    ScopedLog log(path, 1, maxFileSize, writerThread);
    if (log.result != OlvLogOpened)
        return false;
    for (const std::wstring& message : messages)
        OlvLog_Print(OlvLogError, L"%s", message.c_str());
    return true;
}

// A second process's share of a log: LogLines of one message. The exit code
// of a child scenario: 10 when the log cannot be opened.
inline int AppendOneLine(const std::wstring& path, const std::wstring& message)
{
    return LogLines(path, {message}, false, 1 << 20) ? 0 : 10;
}

// Sets "OLVLOGFLAGS" (null: removes it) for one scope; child processes started
// meanwhile inherit it. Restores the previous state.
class ScopedLogFlags {
public:
    explicit ScopedLogFlags(const wchar_t* value)
    {
        SetLastError(0);
        DWORD needed = GetEnvironmentVariableW(L"OLVLOGFLAGS", nullptr, 0);
        had = needed != 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
        if (needed > 1) {
            saved.resize(needed);
            saved.resize(GetEnvironmentVariableW(L"OLVLOGFLAGS", saved.data(), needed));
        }
        SetEnvironmentVariableW(L"OLVLOGFLAGS", value);
    }
    ~ScopedLogFlags() { SetEnvironmentVariableW(L"OLVLOGFLAGS", had ? saved.c_str() : nullptr); }
    ScopedLogFlags(const ScopedLogFlags&) = delete;
    ScopedLogFlags& operator=(const ScopedLogFlags&) = delete;

private:
    std::wstring saved;
    bool had = false;
};

inline const LogPrivateKey& DevPrivateKey()
{
    static LogPrivateKey key;
    if (!key.IsLoaded()) {
        std::wstring error;
        key.Parse(DevPrivateKeyText, &error);
    }
    return key;
}

// Whether this build seals with the development public key (a release build
// configured with its own key cannot be read back with the development pair).
inline bool DevKeyIsBuiltIn()
{
    RsaPrivateKey dev{};
    std::string error;
    if (!ParseRsaPrivateKey(DevPrivateKeyText, &dev, &error))
        return false;
    RsaPublicKey builtIn{};
    GetBuiltInLogKey(&builtIn);
    bool same = builtIn.bits == dev.bits && std::memcmp(builtIn.modulus, dev.modulus, sizeof(dev.modulus)) == 0 &&
                std::memcmp(builtIn.exponent, dev.publicExponent, sizeof(dev.publicExponent)) == 0;
    RsaWipePrivateKey(&dev);
    return same;
}

#define OLV_REQUIRE_DEV_KEY()                                                                  \
    do {                                                                                       \
        if (!::testsupport::DevKeyIsBuiltIn())                                                 \
            GTEST_SKIP() << "this build seals stream keys with another public key";            \
    } while (false)

// The shared stream key's registry key under HKEY_CURRENT_USER. Removes the
// key when the scope begins and ends, and at the end also the parent keys that
// did not exist at the beginning (when they are empty).
class SharedKeyScope {
public:
    SharedKeyScope()
    {
        for (size_t i = 0; i < ParentCount; ++i)
            parentExisted[i] = Exists(Parents[i]);
        Remove();
    }
    ~SharedKeyScope()
    {
        Remove();
        for (size_t i = ParentCount; i > 0; --i) {
            if (!parentExisted[i - 1])
                RegDeleteKeyW(HKEY_CURRENT_USER, Parents[i - 1]);
        }
    }
    SharedKeyScope(const SharedKeyScope&) = delete;
    SharedKeyScope& operator=(const SharedKeyScope&) = delete;

    static void Remove() { RegDeleteKeyW(HKEY_CURRENT_USER, LogKeyConfigPath); }

    static bool KeyExists() { return Exists(LogKeyConfigPath); }

    // The stored "key" value with its type, or nothing when there is none.
    static std::optional<std::vector<unsigned char>> Value(DWORD* type = nullptr)
    {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, LogKeyConfigPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
            return std::nullopt;
        std::vector<unsigned char> data(256);
        DWORD size = static_cast<DWORD>(data.size());
        DWORD valueType = 0;
        LSTATUS status = RegQueryValueExW(key, LogKeyValueName, nullptr, &valueType, data.data(), &size);
        RegCloseKey(key);
        if (status != ERROR_SUCCESS)
            return std::nullopt;
        data.resize(size);
        if (type != nullptr)
            *type = valueType;
        return data;
    }

    // Creates the key (volatile, as the logger does) with a "key" value of the
    // given bytes; no value at all when `data` is null.
    static bool Plant(const std::vector<unsigned char>* data)
    {
        HKEY parent = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, Parents[ParentCount - 1], 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &parent, nullptr) != ERROR_SUCCESS)
            return false;
        HKEY key = nullptr;
        LSTATUS status = RegCreateKeyExW(parent, L"OlvLog", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                         &key, nullptr);
        RegCloseKey(parent);
        if (status != ERROR_SUCCESS)
            return false;
        if (data != nullptr)
            status = RegSetValueExW(key, LogKeyValueName, 0, REG_BINARY, data->data(),
                                    static_cast<DWORD>(data->size()));
        RegCloseKey(key);
        return status == ERROR_SUCCESS;
    }

private:
    static constexpr size_t ParentCount = 2;
    static constexpr const wchar_t* Parents[ParentCount] = {L"Software\\AppDataLow",
                                                            L"Software\\AppDataLow\\OLVVolatile"};

    static bool Exists(const wchar_t* path)
    {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
            return false;
        RegCloseKey(key);
        return true;
    }

    bool parentExisted[ParentCount] = {};
};

// Logs that encrypt, for one scope: "OLVLOGFLAGS" unset, and the user's
// shared stream key set aside.
struct EncryptingLogs {
    ScopedLogFlags flags{nullptr};
    SharedKeyScope shared;
};

// The header fields of an encrypted file.
struct EncryptedHeader {
    std::string magic;
    uint32_t blobLength = 0;
    std::vector<unsigned char> blob;
};

inline EncryptedHeader HeaderOf(const std::vector<unsigned char>& bytes)
{
    EncryptedHeader header;
    if (bytes.size() < 12)
        return header;
    header.magic.assign(bytes.begin(), bytes.begin() + 8);
    std::memcpy(&header.blobLength, bytes.data() + 8, 4);
    if (header.blobLength <= 128 && bytes.size() >= 12 + header.blobLength)
        header.blob.assign(bytes.begin() + 12, bytes.begin() + 12 + header.blobLength);
    return header;
}

// The 64-byte block a header's blob unseals to with the development private
// key (empty when it cannot be unsealed).
inline std::vector<unsigned char> UnsealedBlock(const std::vector<unsigned char>& blob)
{
    RsaPrivateKey dev{};
    std::string error;
    std::vector<unsigned char> block(64);
    uint32_t length = 0;
    if (!ParseRsaPrivateKey(DevPrivateKeyText, &dev, &error) ||
        RsaPrivateBlock(block.data(), &length, blob.data(), static_cast<uint32_t>(blob.size()), &dev) != 0 ||
        length != 64)
        block.clear();
    RsaWipePrivateKey(&dev);
    return block;
}

// The first record (byte-order mark and seven U+0000 units) encrypted under `key`.
inline std::vector<unsigned char> EncryptedByteOrderBlock(const std::vector<unsigned char>& key)
{
    std::vector<unsigned char> block(16, 0);
    block[0] = 0xFF;
    block[1] = 0xFE;
    Aes256Schedule schedule;
    Aes256ExpandKey(&schedule, key.data());
    Aes256EncryptBlocks(&schedule, block.data(), 1);
    return block;
}

}  // namespace testsupport
