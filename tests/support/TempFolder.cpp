#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <atomic>

namespace testsupport {

TempFolder::TempFolder()
{
    wchar_t base[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, base);
    wchar_t longBase[MAX_PATH + 1];
    DWORD longLength = GetLongPathNameW(base, longBase, MAX_PATH + 1);
    std::wstring folder = longLength > 0 && longLength <= MAX_PATH ? std::wstring(longBase, longLength)
                                                                    : std::wstring(base, length <= MAX_PATH ? length : 0);
    if (!folder.empty() && folder.back() != L'\\')
        folder += L'\\';
    // A folder of this name may be left by an earlier process of the same id
    // (Wine hands ids out again) that was killed: the next number is taken.
    static std::atomic<unsigned> counter{0};
    DWORD error = ERROR_ALREADY_EXISTS;
    for (unsigned attempt = 0; attempt < 100 && error == ERROR_ALREADY_EXISTS; ++attempt) {
        path = folder + L"olv-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
        error = CreateDirectoryW(path.c_str(), nullptr) ? ERROR_SUCCESS : GetLastError();
    }
    created = error == ERROR_SUCCESS;
    if (!created)
        ADD_FAILURE() << "cannot create a temporary folder: error " << error;
}

TempFolder::~TempFolder()
{
    if (created)
        RemoveTree(path);
}

std::wstring TempFolder::operator/(std::wstring_view name) const
{
    return path + L"\\" + std::wstring(name);
}

std::vector<std::wstring> TempFolder::Names(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        std::wstring name = found.cFileName;
        if (name != L"." && name != L"..")
            names.push_back(name);
    } while (FindNextFileW(find, &found));
    FindClose(find);
    return names;
}

void TempFolder::RemoveTree(const std::wstring& folder)
{
    for (const std::wstring& name : Names(folder)) {
        std::wstring child = folder + L"\\" + name;
        DWORD attributes = GetFileAttributesW(child.c_str());
        SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            RemoveTree(child);
        else
            DeleteFileW(child.c_str());
    }
    RemoveDirectoryW(folder.c_str());
}

std::vector<unsigned char> FileBytes(const std::wstring& path)
{
    std::vector<unsigned char> bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return bytes;
    LARGE_INTEGER size{};
    GetFileSizeEx(file, &size);
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    if (!bytes.empty())
        ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr);
    bytes.resize(got);
    CloseHandle(file);
    return bytes;
}

bool FileExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool WriteFileBytes(const std::wstring& path, std::string_view bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    bool whole = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                 written == bytes.size();
    CloseHandle(file);
    return whole;
}

}  // namespace testsupport
