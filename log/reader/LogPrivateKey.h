// The private half of the log key pair, as a log reader holds it: it opens
// encrypted log files through LogFileReader.
//
// Header-only on purpose: it rests on olv_logdecrypt, which the logging library
// (and so the plug-in) must never link. A reader that includes this header links
// olv_logdecrypt itself.
//
//   LogPrivateKey key;
//   std::wstring error;
//   if (!key.Load(L"olvlog-dev-private.key", &error)) ...
//   LogFileContents contents = LogFileReader::Read(path, &key);
#pragma once

#include "log/reader/LogFileReader.h"
#include "log/crypto/decrypt/Aes256DecryptSchedule.h"
#include "log/crypto/LogKeyFingerprint.h"
#include "log/crypto/decrypt/RsaPrivateKey.h"

#include <windows.h>

#include <cstring>
#include <string>
#include <string_view>

class LogPrivateKey final : public LogFileKey {
public:
    LogPrivateKey() = default;
    ~LogPrivateKey() override { RsaWipePrivateKey(&key); }
    LogPrivateKey(const LogPrivateKey&) = delete;
    LogPrivateKey& operator=(const LogPrivateKey&) = delete;

    // Takes the text of a private key file (keys/README.md). Returns false with
    // a message in *error when it is not one.
    bool Parse(std::string_view text, std::wstring* error)
    {
        std::string message;
        loaded = ParseRsaPrivateKey(text, &key, &message);
        if (!loaded)
            *error = L"not a private key file: " + std::wstring(message.begin(), message.end());
        return loaded;
    }

    // Reads and parses a private key file. Returns false with a message in
    // *error when it cannot be read or is not a private key file.
    bool Load(const std::wstring& path, std::wstring* error)
    {
        loaded = false;
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            *error = L"cannot open the key file (error " + std::to_wstring(GetLastError()) + L")";
            return false;
        }
        // A key file is a few hundred bytes; anything far larger is not one.
        std::string text(8192, '\0');
        DWORD got = 0;
        BOOL read = ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &got, nullptr);
        DWORD readError = GetLastError();
        CloseHandle(file);
        if (!read) {
            *error = L"cannot read the key file (error " + std::to_wstring(readError) + L")";
            return false;
        }
        if (got == text.size()) {
            *error = L"not a private key file: it is far too large";
            return false;
        }
        text.resize(got);
        bool parsed = Parse(text, error);
        SecureZeroMemory(text.data(), text.size());
        return parsed;
    }

    bool IsLoaded() const noexcept { return loaded; }

    // The fingerprint of the key pair (log/crypto/LogKeyFingerprint.h), to
    // compare with the one a build seals with; empty when no key is loaded.
    std::string Fingerprint() const
    {
        if (!loaded)
            return {};
        RsaPublicKey publicHalf{};
        publicHalf.bits = key.bits;
        std::memcpy(publicHalf.modulus, key.modulus, sizeof(publicHalf.modulus));
        std::memcpy(publicHalf.exponent, key.publicExponent, sizeof(publicHalf.exponent));
        return LogKeyFingerprint(publicHalf);
    }

    int32_t UnsealStreamKey(const uint8_t* blob, uint32_t length, uint8_t streamKey[32]) const override
    {
        if (!loaded)
            return RsaBadLength;
        return UnwrapStreamKey(&key, blob, length, streamKey);
    }

    void DecryptBlocks(const uint8_t streamKey[32], uint8_t* data, size_t blockCount) const override
    {
        Aes256DecryptSchedule schedule;
        Aes256ExpandDecryptKey(&schedule, streamKey);
        Aes256DecryptBlocks(&schedule, data, data, blockCount);
        SecureZeroMemory(&schedule, sizeof(schedule));
    }

private:
    RsaPrivateKey key{};
    bool loaded = false;
};
