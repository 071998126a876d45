#include "plugin/ModulePath.h"

#include "plugin/LongPathCache.h"
#include "base/OnceGuard.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

namespace {

// 520 characters hold every ordinary path; a longer one (\\?\ paths reach
// 32767) is read again with a larger buffer rather than cut.
constexpr DWORD FirstModuleNameChars = 520;
constexpr DWORD LongestModuleNameChars = 32768;

OnceGuard ProcessCacheGuard;
// Created on the first expansion of a non-empty path, destroyed at process exit.
LongPathCache* ProcessCache;

void DestroyProcessCache()
{
    delete ProcessCache;
    ProcessCache = nullptr;
}

LongPathCache& ProcessLongPathCache()
{
    RunOnce(ProcessCacheGuard, [] {
        ProcessCache = new LongPathCache();
        std::atexit(DestroyProcessCache);
    });
    return *ProcessCache;
}

bool IsShortName(std::wstring_view component)
{
    return component.find(L'~') != std::wstring_view::npos && component.find_first_of(L"*?") == std::wstring_view::npos;
}

}  // namespace

std::wstring ModuleFileName(HMODULE module)
{
    for (DWORD chars = FirstModuleNameChars; chars <= LongestModuleNameChars; chars *= 2) {
        std::wstring name(chars, L'\0');
        DWORD length = GetModuleFileNameW(module, name.data(), chars);
        if (length == 0)
            return std::wstring();
        // A name that fills the buffer may be cut (and Wine leaves it
        // unterminated then): only a shorter one is known to be whole.
        if (length < chars || chars == LongestModuleNameChars) {
            name.resize(std::min<std::size_t>(length, chars));
            name.resize(std::wstring_view(name.c_str()).size());
            return name;
        }
    }
    return std::wstring();
}

std::wstring GetModulePath()
{
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(reinterpret_cast<ULONG_PTR>(&GetModulePath)), &self))
        return std::wstring();
    std::wstring path = ModuleFileName(self);
    if (path.empty())
        return path;
    std::wstring expanded = ExpandShortPath(path);
    return expanded.empty() ? path : expanded;
}

std::wstring ExpandShortPath(const std::wstring& path)
{
    if (path.empty())
        return std::wstring();
    return ExpandShortPath(path, ProcessLongPathCache());
}

std::wstring ExpandShortPath(const std::wstring& path, LongPathCache& cache)
{
    if (path.empty())
        return std::wstring();
    std::wstring expanded;
    if (cache.Find(path, &expanded))
        return expanded;

    // The native prefix is kept as it is and is no part of the searched paths.
    std::size_t scanStart = 0;
    if (path.compare(0, 4, L"\\??\\") == 0) {
        expanded = L"\\??\\";
        scanStart = 4;
    }

    bool complete = true;
    std::size_t componentStart = scanStart;
    for (bool first = true;; first = false) {
        std::size_t componentEnd = path.find(L'\\', componentStart);
        const bool last = componentEnd == std::wstring::npos;
        if (last)
            componentEnd = path.size();
        std::wstring_view component(path.data() + componentStart, componentEnd - componentStart);

        if (!first && IsShortName(component)) {
            // The search path runs to the end of this component, in the
            // caller's (short) spelling: the file system resolves it.
            std::wstring searchPath = path.substr(scanStart, componentEnd - scanStart);
            WIN32_FIND_DATAW found;
            HANDLE search = FindFirstFileW(searchPath.c_str(), &found);
            if (search != INVALID_HANDLE_VALUE) {
                FindClose(search);
                expanded += found.cFileName;
            } else {
                expanded += component;
                complete = false;
            }
        } else {
            expanded += component;
        }
        if (last)
            break;
        expanded += L'\\';
        componentStart = componentEnd + 1;
    }

    // An incomplete expansion is searched again next time.
    if (complete)
        cache.Store(path, expanded);
    return expanded;
}
