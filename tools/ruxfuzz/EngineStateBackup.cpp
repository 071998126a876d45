#include "tools/ruxfuzz/EngineStateBackup.h"

#include <windows.h>

namespace {

std::string Failure(const char* what, LSTATUS status)
{
    return std::string(what) + " (error " + std::to_string(status) + ")";
}

// Copies the tree at `from` to a new key at `to`.
LSTATUS CopyTree(const wchar_t* from, const wchar_t* to)
{
    HKEY source = nullptr;
    HKEY target = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, from, 0, KEY_READ, &source);
    if (status == ERROR_SUCCESS)
        status = RegCreateKeyExW(HKEY_CURRENT_USER, to, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &target, nullptr);
    if (status == ERROR_SUCCESS)
        status = RegCopyTreeW(source, nullptr, target);
    if (target)
        RegCloseKey(target);
    if (source)
        RegCloseKey(source);
    return status;
}

LSTATUS DeleteTree(const wchar_t* path)
{
    LSTATUS status = RegDeleteTreeW(HKEY_CURRENT_USER, path);
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

}  // namespace

bool EngineStateBackup::Save(std::string& error)
{
    backupPath_ = std::wstring(StateKeyPath) + L".saved-by-ruxfuzz-" + std::to_wstring(GetCurrentProcessId());
    HKEY probe = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, StateKeyPath, 0, KEY_READ, &probe);
    existed_ = status == ERROR_SUCCESS;
    if (probe)
        RegCloseKey(probe);
    if (existed_) {
        status = CopyTree(StateKeyPath, backupPath_.c_str());
        if (status != ERROR_SUCCESS) {
            DeleteTree(backupPath_.c_str());
            error = Failure("cannot copy the engine's state key aside", status);
            return false;
        }
    } else if (status != ERROR_FILE_NOT_FOUND) {
        error = Failure("cannot read the engine's state key", status);
        return false;
    }
    saved_ = true;
    return true;
}

bool EngineStateBackup::Restore(std::string& error)
{
    if (!saved_)
        return true;
    LSTATUS status = DeleteTree(StateKeyPath);
    if (status == ERROR_SUCCESS && existed_)
        status = CopyTree(backupPath_.c_str(), StateKeyPath);
    if (status != ERROR_SUCCESS) {
        error = Failure("cannot put the engine's state key back", status);
        return false;
    }
    status = DeleteTree(backupPath_.c_str());
    if (status != ERROR_SUCCESS) {
        error = Failure("cannot remove the copy of the engine's state key", status);
        return false;
    }
    saved_ = false;
    return true;
}
