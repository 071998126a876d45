// Test helpers: a fixture that sets the user's engine state aside for each test
// and puts it back afterwards, and a way to run this test program again as a
// second process of the engine.
#pragma once

#include "vtapi/EngineState.h"
#include "runtime/base/UniqueHandle.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace sandbox {

inline std::wstring BackupKeyPath()
{
    return L"Software\\Halvern\\OLV.saved-by-test-" + std::to_wstring(GetCurrentProcessId());
}

inline std::wstring UniqueTempFolder(const wchar_t* tag)
{
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    return std::wstring(temp) + L"vtapi-test-" + tag + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-"
        + std::to_wstring(GetTickCount());
}

// Removes a folder and all it holds, for clean-up only.
inline void RemoveFolder(const std::wstring& folder)
{
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring child = folder + L"\\" + name;
            SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveFolder(child);
            else
                DeleteFileW(child.c_str());
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
    RemoveDirectoryW(folder.c_str());
}

// Starts this test program again with one argument and returns its exit code,
// or -1 when it could not be started or did not end within 30 s.
inline int RunChild(const std::wstring& argument)
{
    wchar_t self[MAX_PATH + 1] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(self) + L"\" " + argument;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(self, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return -1;
    CloseHandle(process.hThread);
    int result = -1;
    if (WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        result = static_cast<int>(code);
    } else {
        TerminateProcess(process.hProcess, 99);
    }
    CloseHandle(process.hProcess);
    return result;
}

}  // namespace sandbox

// Moves the user's state under "Software\Halvern\OLV" aside, so each test
// starts from no state, and puts it back when the test ends. Each test gets
// its own virtual data folder.
class EngineSandbox : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(RegOpenCurrentUser(KEY_ALL_ACCESS, root_.put()), ERROR_SUCCESS);
        UniqueKey maker;
        makerExisted_ = RegOpenKeyExW(root_.get(), L"Software\\Halvern", 0, KEY_READ, maker.put()) == ERROR_SUCCESS;
        UniqueKey existing;
        if (RegOpenKeyExW(root_.get(), EngineState::BaseKeyPath, 0, KEY_READ, existing.put()) == ERROR_SUCCESS) {
            UniqueKey backup;
            ASSERT_EQ(RegCreateKeyExW(root_.get(), sandbox::BackupKeyPath().c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                      nullptr, backup.put(), nullptr),
                      ERROR_SUCCESS);
            ASSERT_EQ(RegCopyTreeW(existing.get(), nullptr, backup.get()), ERROR_SUCCESS);
            saved_ = true;
        }
        existing.reset();
        ASSERT_EQ(state_.Remove(), ERROR_SUCCESS);
        folder_ = sandbox::UniqueTempFolder(L"virtual");
        ASSERT_EQ(state_.SetVirtualDataPath(folder_), ERROR_SUCCESS);
    }

    void TearDown() override
    {
        EXPECT_EQ(state_.Remove(), ERROR_SUCCESS);
        if (saved_) {
            UniqueKey backup;
            UniqueKey original;
            if (RegOpenKeyExW(root_.get(), sandbox::BackupKeyPath().c_str(), 0, KEY_READ, backup.put()) == ERROR_SUCCESS
                && RegCreateKeyExW(root_.get(), EngineState::BaseKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                   original.put(), nullptr)
                    == ERROR_SUCCESS) {
                EXPECT_EQ(RegCopyTreeW(backup.get(), nullptr, original.get()), ERROR_SUCCESS);
            }
            backup.reset();
            RegDeleteTreeW(root_.get(), sandbox::BackupKeyPath().c_str());
            RegDeleteKeyW(root_.get(), sandbox::BackupKeyPath().c_str());
        }
        // RegDeleteKeyW removes only an empty key: a sibling of the state stays.
        if (!makerExisted_)
            RegDeleteKeyW(root_.get(), L"Software\\Halvern");
        sandbox::RemoveFolder(folder_);
    }

    EngineState state_;
    std::wstring folder_;

private:
    UniqueKey root_;
    bool saved_ = false;
    bool makerExisted_ = false;
};
