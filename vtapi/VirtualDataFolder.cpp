#include "vtapi/VirtualDataFolder.h"

#include "base/UniqueHandle.h"

namespace {

bool IsDots(const wchar_t* name)
{
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

std::wstring WithoutTrailingSeparators(std::wstring path)
{
    while (!path.empty() && (path.back() == L'\\' || path.back() == L'/'))
        path.pop_back();
    return path;
}

}  // namespace

bool VirtualDataFolder::IsSafePath(const std::wstring& path)
{
    if (path.find(L'\0') != std::wstring::npos)
        return false;
    std::wstring trimmed = WithoutTrailingSeparators(path);
    // A ".." component could climb back to a root.
    for (std::size_t at = trimmed.find(L".."); at != std::wstring::npos; at = trimmed.find(L"..", at + 1)) {
        bool startsComponent = at == 0 || trimmed[at - 1] == L'\\' || trimmed[at - 1] == L'/';
        bool endsComponent = at + 2 == trimmed.size() || trimmed[at + 2] == L'\\' || trimmed[at + 2] == L'/';
        if (startsComponent && endsComponent)
            return false;
    }
    // "X:\something": a drive, its root and at least one component.
    if (trimmed.size() >= 4 && trimmed[1] == L':' && (trimmed[2] == L'\\' || trimmed[2] == L'/')
        && ((trimmed[0] >= L'A' && trimmed[0] <= L'Z') || (trimmed[0] >= L'a' && trimmed[0] <= L'z'))) {
        std::wstring rest = trimmed.substr(3);
        return rest.find_first_not_of(L"\\/") == 0 && rest != L"." && rest != L"..";
    }
    // "\\server\share\something": the share is the root.
    if (trimmed.size() > 2 && trimmed[0] == L'\\' && trimmed[1] == L'\\' && trimmed[2] != L'?' && trimmed[2] != L'.') {
        std::size_t server = trimmed.find(L'\\', 2);
        if (server == std::wstring::npos)
            return false;
        std::size_t share = trimmed.find(L'\\', server + 1);
        return share != std::wstring::npos && share + 1 < trimmed.size();
    }
    return false;
}

DWORD VirtualDataFolder::ClearContents(const std::wstring& folder)
{
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
    }
    DWORD firstError = ERROR_SUCCESS;
    do {
        if (IsDots(entry.cFileName))
            continue;
        std::wstring child = folder + L"\\" + entry.cFileName;
        DWORD error = ERROR_SUCCESS;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
            SetFileAttributesW(child.c_str(), entry.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                error = ClearContents(child);
            if (!RemoveDirectoryW(child.c_str()) && error == ERROR_SUCCESS)
                error = GetLastError();
        } else if (!DeleteFileW(child.c_str())) {
            error = GetLastError();
        }
        if (firstError == ERROR_SUCCESS)
            firstError = error;
    } while (FindNextFileW(find, &entry));
    DWORD endError = GetLastError();
    FindClose(find);
    if (firstError == ERROR_SUCCESS && endError != ERROR_NO_MORE_FILES)
        firstError = endError;
    return firstError;
}

DWORD VirtualDataFolder::Clear() const
{
    if (!IsSafePath(path_))
        return ERROR_BAD_PATHNAME;
    std::wstring folder = WithoutTrailingSeparators(path_);
    DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ERROR_SUCCESS : error;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return ERROR_DIRECTORY;
    return ClearContents(folder);
}

DWORD VirtualDataFolder::CountEntries(unsigned& count) const
{
    std::wstring folder = WithoutTrailingSeparators(path_);
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            count = 0;
            return ERROR_SUCCESS;
        }
        return error;
    }
    unsigned found = 0;
    do {
        if (!IsDots(entry.cFileName))
            ++found;
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    count = found;
    return ERROR_SUCCESS;
}

DWORD VirtualDataFolder::Fill(unsigned count) const
{
    if (!IsSafePath(path_))
        return ERROR_BAD_PATHNAME;
    std::wstring folder = WithoutTrailingSeparators(path_);
    if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return GetLastError();
    for (unsigned i = 0; i < count; ++i) {
        std::wstring name = folder + L"\\item" + std::to_wstring(i) + L".dat";
        UniqueFile file(
            CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.valid())
            return GetLastError();
        static const char content[] = "virtualised data\r\n";
        DWORD written = 0;
        if (!WriteFile(file.get(), content, sizeof(content) - 1, &written, nullptr))
            return GetLastError();
    }
    return ERROR_SUCCESS;
}
