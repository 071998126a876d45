// A fresh folder per test under the temporary folder, removed with everything
// in it when the scope ends, also when an assertion ended the test early; and
// the small file reads and writes tests make in it.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

class TempFolder {
public:
    // "olv-test-PID-N" under the long form of the temporary folder, so that
    // only the names a test makes itself are short ones.
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::wstring& Path() const { return path; }
    std::wstring operator/(std::wstring_view name) const;

    // Names of the entries in the folder (not "." and "..").
    std::vector<std::wstring> Names() const { return Names(path); }
    static std::vector<std::wstring> Names(const std::wstring& folder);

    // Removes a folder and all it holds, read-only entries too.
    static void RemoveTree(const std::wstring& folder);

private:
    std::wstring path;
    bool created = false;  // only a folder this object made is removed
};

// The whole file (shared with writers), or nothing when it cannot be opened.
std::vector<unsigned char> FileBytes(const std::wstring& path);
bool FileExists(const std::wstring& path);
// Creates or replaces the file with `bytes`; false when it cannot.
bool WriteFileBytes(const std::wstring& path, std::string_view bytes);

}  // namespace testsupport
