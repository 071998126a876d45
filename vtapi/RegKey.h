// Owner of one open registry key. Move-only; closing keeps the caller's
// last-error value, so that an error read after a failed call survives the
// clean-up on the way out.
#pragma once

#include <windows.h>

class RegKey {
public:
    RegKey() = default;
    explicit RegKey(HKEY key) noexcept : key_(key) {}
    RegKey(RegKey&& other) noexcept : key_(other.key_) { other.key_ = nullptr; }
    RegKey& operator=(RegKey&& other) noexcept
    {
        if (this != &other) {
            reset(other.key_);
            other.key_ = nullptr;
        }
        return *this;
    }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    ~RegKey() { reset(); }

    HKEY get() const noexcept { return key_; }
    explicit operator bool() const noexcept { return key_ != nullptr; }

    // For the out-parameter of RegOpenKeyExW and friends: closes what is held.
    HKEY* put() noexcept
    {
        reset();
        return &key_;
    }

    [[nodiscard]] HKEY release() noexcept
    {
        HKEY key = key_;
        key_ = nullptr;
        return key;
    }

    void reset(HKEY key = nullptr) noexcept
    {
        if (key_) {
            DWORD savedError = GetLastError();
            RegCloseKey(key_);
            SetLastError(savedError);
        }
        key_ = key;
    }

private:
    HKEY key_ = nullptr;
};
