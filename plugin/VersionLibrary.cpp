#include "plugin/VersionLibrary.h"

#include <utility>
#include <vector>

namespace {

template <typename Function>
Function Resolve(HMODULE module, const char* name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

}  // namespace

VersionLibrary::VersionLibrary(std::wstring libraryPath) : libraryPath(std::move(libraryPath)) {}

HMODULE VersionLibrary::Module()
{
    ExclusiveLockHolder hold(lock);
    return library.Get();
}

void VersionLibrary::Load()
{
    HMODULE module = libraryPath.empty() ? nullptr : LoadLibraryW(libraryPath.c_str());
    library.Reset(module ? module : SharedLibraryHandle::LoadFailed());
    if (!module)
        return;
    getFileVersionInfoSize = Resolve<GetSizeFunction>(module, "GetFileVersionInfoSizeW");
    getFileVersionInfo = Resolve<GetInfoFunction>(module, "GetFileVersionInfoW");
    verQueryValue = Resolve<QueryValueFunction>(module, "VerQueryValueW");
}

std::uint64_t VersionLibrary::Query(const std::wstring& path)
{
    ExclusiveLockHolder hold(lock);
    if (!library.Get())
        Load();
    if (!getFileVersionInfoSize || !getFileVersionInfo || !verQueryValue)
        return 0;

    DWORD handle = 0;
    DWORD size = getFileVersionInfoSize(path.c_str(), &handle);
    if (size == 0)
        return 0;
    std::vector<BYTE> block(size, 0);
    if (!getFileVersionInfo(path.c_str(), handle, size, block.data()))
        return 0;

    // The root block holds the fixed file information; a resource too short
    // to hold it counts as none.
    void* value = nullptr;
    UINT valueLength = 0;
    if (!verQueryValue(block.data(), L"\\", &value, &valueLength) || !value ||
        valueLength < sizeof(VS_FIXEDFILEINFO))
        return 0;
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    return (static_cast<std::uint64_t>(fixed->dwFileVersionMS) << 32) | fixed->dwFileVersionLS;
}
