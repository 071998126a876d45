// The folder of the engine's virtualised files. Clearing it removes everything
// inside and keeps the folder itself.
#pragma once

#include <windows.h>

#include <string>

class VirtualDataFolder {
public:
    explicit VirtualDataFolder(std::wstring path) : path_(std::move(path)) {}

    // True for a full path (drive or UNC) that names more than a root: the
    // path comes from stored state, and emptying "C:\" must never happen.
    static bool IsSafePath(const std::wstring& path);

    // Removes every file and sub-folder below the folder. A folder that does
    // not exist holds nothing: success. Links to folders (reparse points) are
    // removed themselves, never followed. Goes on past an entry that cannot be
    // removed and returns the first such error; ERROR_BAD_PATHNAME for an
    // unsafe path, ERROR_DIRECTORY when the path is a file.
    DWORD Clear() const;

    // Counts the entries directly inside the folder (0 when it is missing).
    DWORD CountEntries(unsigned& count) const;

    // Creates the folder when missing and count files in it, "itemN.dat", for
    // tools that need something to clear.
    DWORD Fill(unsigned count) const;

    const std::wstring& path() const noexcept { return path_; }

private:
    static DWORD ClearContents(const std::wstring& folder);

    std::wstring path_;
};
