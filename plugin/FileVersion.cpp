#include "plugin/FileVersion.h"

#include "plugin/VersionLibrary.h"
#include "runtime/FormatString.h"
#include "base/OnceGuard.h"

#include <windows.h>

#include <cstdlib>

namespace {

OnceGuard ProcessVersionGuard;
// Created on the first query, destroyed at process exit (which frees the library).
VersionLibrary* ProcessVersionLibrary;

void DestroyProcessVersionLibrary()
{
    delete ProcessVersionLibrary;
    ProcessVersionLibrary = nullptr;
}

// The system folder's copy by full path: the loader would otherwise look in
// the host application's folder first, where any "version.dll" would be run.
std::wstring SystemVersionLibraryPath()
{
    wchar_t folder[MAX_PATH + 1];
    UINT length = GetSystemDirectoryW(folder, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH)
        return std::wstring();
    return std::wstring(folder, length) + L"\\version.dll";
}

VersionLibrary& ProcessVersion()
{
    RunOnce(ProcessVersionGuard, [] {
        ProcessVersionLibrary = new VersionLibrary(SystemVersionLibraryPath());
        std::atexit(DestroyProcessVersionLibrary);
    });
    return *ProcessVersionLibrary;
}

}  // namespace

std::uint64_t GetFileVersionNumber(const std::wstring& path)
{
    return ProcessVersion().Query(path);
}

std::wstring GetFileVersionString(const std::wstring& path)
{
    std::uint64_t version = GetFileVersionNumber(path);
    if (version == 0)
        return std::wstring();
    const auto mostSignificant = static_cast<DWORD>(version >> 32);
    const auto leastSignificant = static_cast<DWORD>(version);
    return FormatString(L"%u.%u.%u.%u", static_cast<unsigned>(HIWORD(mostSignificant)),
                        static_cast<unsigned>(LOWORD(mostSignificant)), static_cast<unsigned>(HIWORD(leastSignificant)),
                        static_cast<unsigned>(LOWORD(leastSignificant)));
}
