// Move-only owner of one operating-system handle, closed by `Close` when the
// owner goes. The type says what is invalid for its kind: the value that the
// kind's creating calls return on failure (`InvalidValue`), and null, which no
// call returns as a handle. An invalid handle is held but never closed, and an
// empty owner holds `InvalidValue`. Closing keeps the caller's last-error
// value, so an owner can go out of scope between a failed call and the
// GetLastError that reports it.
//
//   kind                                   invalid               closed by
//   events, mutexes, tokens, processes     null                  CloseHandle
//   files and pipes (CreateFile,           INVALID_HANDLE_VALUE  CloseHandle
//     CreateNamedPipe)                       (and null)
//   registry keys                          null                  RegCloseKey
//   modules                                null                  FreeLibrary
//
// INVALID_HANDLE_VALUE is a valid value of the null kinds (the process's own
// pseudo handle), so they do not refuse it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <utility>

template <typename Handle, auto Close, std::intptr_t InvalidValue = 0>
class UniqueHandle {
public:
    UniqueHandle() noexcept = default;
    explicit UniqueHandle(Handle handle) noexcept : handle(handle) {}
    ~UniqueHandle() { reset(); }

    UniqueHandle(UniqueHandle&& other) noexcept : handle(std::exchange(other.handle, Invalid())) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        if (this != &other)
            reset(std::exchange(other.handle, Invalid()));
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    Handle get() const noexcept { return handle; }
    bool valid() const noexcept { return IsValid(handle); }

    // For the out-parameter of a creating call: closes what is held and gives
    // the address of the emptied field.
    Handle* put() noexcept
    {
        reset();
        return &handle;
    }

    // Gives the handle up without closing it; the caller owns it afterwards.
    [[nodiscard]] Handle release() noexcept { return std::exchange(handle, Invalid()); }

    // Closes the handle held (when valid) and takes `replacement`.
    void reset(Handle replacement = Invalid()) noexcept
    {
        Handle old = std::exchange(handle, replacement);
        if (IsValid(old)) {
            DWORD savedError = GetLastError();
            Close(old);
            SetLastError(savedError);
        }
    }

    static Handle Invalid() noexcept
    {
        if constexpr (InvalidValue == 0)
            return nullptr;
        else
            return reinterpret_cast<Handle>(InvalidValue);
    }
    static bool IsValid(Handle h) noexcept { return h != nullptr && h != Invalid(); }

private:
    Handle handle = Invalid();
};

using UniqueEvent = UniqueHandle<HANDLE, ::CloseHandle>;
using UniqueMutex = UniqueHandle<HANDLE, ::CloseHandle>;
using UniqueToken = UniqueHandle<HANDLE, ::CloseHandle>;
using UniqueProcess = UniqueHandle<HANDLE, ::CloseHandle>;
using UniqueFile = UniqueHandle<HANDLE, ::CloseHandle, -1>;
using UniquePipe = UniqueHandle<HANDLE, ::CloseHandle, -1>;
using UniqueKey = UniqueHandle<HKEY, ::RegCloseKey>;
using UniqueModule = UniqueHandle<HMODULE, ::FreeLibrary>;
