// A fresh folder under the temporary folder for one test, removed with
// everything in it when the test ends.
#pragma once

#include <windows.h>

#include <string>

class TempFolder {
public:
    TempFolder()
    {
        wchar_t base[MAX_PATH + 1];
        DWORD length = GetTempPathW(MAX_PATH + 1, base);
        // The long form, so that only the names a test makes are short ones.
        wchar_t longBase[MAX_PATH + 1];
        DWORD longLength = GetLongPathNameW(base, longBase, MAX_PATH + 1);
        std::wstring folder = longLength > 0 && longLength <= MAX_PATH ? std::wstring(longBase, longLength)
                                                                        : std::wstring(base, length);
        if (!folder.empty() && folder.back() != L'\\')
            folder += L'\\';
        static LONG counter = 0;
        path = folder + L"olv-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
               std::to_wstring(InterlockedIncrement(&counter));
        CreateDirectoryW(path.c_str(), nullptr);
    }

    ~TempFolder() { RemoveTree(path); }

    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::wstring& Path() const { return path; }

    static void RemoveTree(const std::wstring& folder)
    {
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                std::wstring name = found.cFileName;
                if (name == L"." || name == L"..")
                    continue;
                std::wstring child = folder + L"\\" + name;
                if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    RemoveTree(child);
                else
                    DeleteFileW(child.c_str());
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
        RemoveDirectoryW(folder.c_str());
    }

private:
    std::wstring path;
};
