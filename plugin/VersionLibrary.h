// The version-resource functions of one library file, loaded on the first
// query and kept until the object is destroyed. A failed load is remembered:
// the object never tries again and every query gives 0.
//
// All queries of one object, the loading of its library included, run one at
// a time under its ExclusiveLock.
#pragma once

#include "plugin/SharedLibraryHandle.h"
#include "runtime/ExclusiveLock.h"
#include "base/ThreadSafety.h"

#include <windows.h>

#include <cstdint>
#include <string>

class VersionLibrary {
public:
    // `libraryPath`: the library to load, best as a full path (a bare name
    // would let the loader take a file of that name from the application's
    // folder first).
    explicit VersionLibrary(std::wstring libraryPath);

    VersionLibrary(const VersionLibrary&) = delete;
    VersionLibrary& operator=(const VersionLibrary&) = delete;

    // The fixed file version of the file at `path`: dwFileVersionMS in the
    // high and dwFileVersionLS in the low 32 bits. 0 when the file has no
    // version resource, or the library or one of its functions is missing, or
    // any call fails. Throws std::bad_alloc (the lock is released).
    std::uint64_t Query(const std::wstring& path) OLV_EXCLUDES(lock);

    // Null before the first query, SharedLibraryHandle::LoadFailed() after a
    // failed load, the library's module otherwise.
    HMODULE Module() OLV_EXCLUDES(lock);

private:
    using GetSizeFunction = DWORD(WINAPI*)(LPCWSTR, LPDWORD);
    using GetInfoFunction = BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID);
    using QueryValueFunction = BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT);

    // With `lock` held and the library not yet tried.
    void Load() OLV_REQUIRES(lock);

    const std::wstring libraryPath;
    ExclusiveLock lock;
    SharedLibraryHandle library OLV_GUARDED_BY(lock);
    GetSizeFunction getFileVersionInfoSize OLV_GUARDED_BY(lock) = nullptr;
    GetInfoFunction getFileVersionInfo OLV_GUARDED_BY(lock) = nullptr;
    QueryValueFunction verQueryValue OLV_GUARDED_BY(lock) = nullptr;
};
