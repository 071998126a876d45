// Move-only owner of one operating-system handle, closed by `Close` when the
// owner goes. Null and INVALID_HANDLE_VALUE (all bits set) are never closed:
// they are what the creating calls return on failure. Closing keeps the
// caller's last-error value, so an owner can go out of scope between a failed
// call and the GetLastError that reports it.
#pragma once

#include <windows.h>

#include <utility>

template <typename Handle, auto Close>
class UniqueHandle {
public:
    UniqueHandle() noexcept = default;
    explicit UniqueHandle(Handle handle) noexcept : handle(handle) {}
    ~UniqueHandle() { reset(); }

    UniqueHandle(UniqueHandle&& other) noexcept : handle(std::exchange(other.handle, nullptr)) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        if (this != &other)
            reset(std::exchange(other.handle, nullptr));
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    Handle get() const noexcept { return handle; }
    bool valid() const noexcept { return IsValid(handle); }

    // Gives the handle up without closing it; the caller owns it afterwards.
    [[nodiscard]] Handle release() noexcept { return std::exchange(handle, nullptr); }

    // Closes the handle held (when valid) and takes `replacement`.
    void reset(Handle replacement = nullptr) noexcept
    {
        Handle old = std::exchange(handle, replacement);
        if (IsValid(old)) {
            DWORD savedError = GetLastError();
            Close(old);
            SetLastError(savedError);
        }
    }

    static bool IsValid(Handle h) noexcept
    {
        return h != nullptr && reinterpret_cast<HANDLE>(h) != INVALID_HANDLE_VALUE;
    }

private:
    Handle handle = nullptr;
};

using UniqueEvent = UniqueHandle<HANDLE, ::CloseHandle>;
using UniqueKey = UniqueHandle<HKEY, ::RegCloseKey>;
