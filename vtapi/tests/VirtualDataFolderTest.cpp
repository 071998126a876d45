#include "tests/support/TempFolder.h"
#include "vtapi/VirtualDataFolder.h"

#include <gtest/gtest.h>

TEST(VirtualDataFolder, OnlyFullPathsBelowARootAreSafeToClear)
{
    struct {
        const wchar_t* path;
        bool safe;
    } const cases[] = {
        {L"C:\\Temp\\OLVVirtual", true},
        {L"c:\\x", true},
        {L"C:\\x\\", true},
        {L"\\\\server\\share\\folder", true},
        {L"C:\\", false},
        {L"C:", false},
        {L"C:\\\\", false},
        {L"C:folder", false},
        {L"folder", false},
        {L"", false},
        {L"\\folder", false},
        {L"\\\\server\\share", false},
        {L"\\\\server\\share\\", false},
        {L"\\\\?\\C:\\x", false},
        {L"C:\\x\\..", false},
        {L"C:\\x\\..\\", false},
        {L"C:\\..", false},
        {L"C:\\x..y", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(VirtualDataFolder::IsSafePath(c.path), c.safe) << testing::PrintToString(std::wstring(c.path));
}

TEST(VirtualDataFolder, ClearOfAFileInsteadOfAFolderFailsAndKeepsTheFile)
{
    testsupport::TempFolder temp;
    std::wstring folder = temp / L"file";
    HANDLE file = CreateFileW(folder.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    EXPECT_EQ(VirtualDataFolder(folder).Clear(), static_cast<DWORD>(ERROR_DIRECTORY));
    EXPECT_NE(GetFileAttributesW(folder.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(VirtualDataFolder, ClearReportsAFileItCannotRemoveAndStillRemovesTheRest)
{
    testsupport::TempFolder temp;
    std::wstring folder = temp / L"busy";
    VirtualDataFolder data(folder);
    ASSERT_EQ(data.Fill(4), ERROR_SUCCESS);
    // Held open without delete sharing: the one entry that must stay.
    HANDLE busy = CreateFileW((folder + L"\\item2.dat").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(busy, INVALID_HANDLE_VALUE);
    EXPECT_NE(data.Clear(), static_cast<DWORD>(ERROR_SUCCESS));
    unsigned count = 0;
    ASSERT_EQ(data.CountEntries(count), ERROR_SUCCESS);
    EXPECT_EQ(count, 1u);
    CloseHandle(busy);
    EXPECT_EQ(data.Clear(), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(data.CountEntries(count), ERROR_SUCCESS);
    EXPECT_EQ(count, 0u);
}
