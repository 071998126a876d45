// Handle owners: the last owner closes, what a kind's creating call returns on
// failure is never closed, and closing keeps the caller's last-error value.
#include "base/SharedHandle.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace {

bool IsOpenHandle(HANDLE handle)
{
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != FALSE;
}

constexpr DWORD MagicError = 0x2A5EDu;

}  // namespace

TEST(SharedHandle, LastOwnerClosesTheEvent)
{
    HANDLE raw = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(raw, nullptr);
    SharedEvent first(raw);
    {
        SharedEvent second = first;
        EXPECT_EQ(second.get(), raw);
        EXPECT_EQ(first.use_count(), 2);
        first.reset();
        EXPECT_EQ(first.get(), nullptr);
        EXPECT_TRUE(IsOpenHandle(raw));
    }
    EXPECT_FALSE(IsOpenHandle(raw));
}

TEST(SharedHandle, StoringANewHandleReleasesThePreviousOne)
{
    HANDLE oldRaw = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE newRaw = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(oldRaw, nullptr);
    ASSERT_NE(newRaw, nullptr);
    SharedEvent field(oldRaw);
    field = SharedEvent(newRaw);
    EXPECT_FALSE(IsOpenHandle(oldRaw));
    EXPECT_EQ(field.get(), newRaw);
    field.reset();
    EXPECT_FALSE(IsOpenHandle(newRaw));
}

TEST(SharedHandle, EmptyAndFailedHandlesAreHeldButNeverClosed)
{
    SharedEvent empty;
    EXPECT_EQ(empty.get(), nullptr);
    EXPECT_FALSE(empty.valid());

    SetLastError(MagicError);
    {
        // CreateEvent fails with null, CreateFile and CreateNamedPipe with
        // INVALID_HANDLE_VALUE, which an empty file owner holds too.
        SharedEvent null(nullptr);
        UniqueFile failed(INVALID_HANDLE_VALUE);
        UniquePipe emptyPipe;
        EXPECT_FALSE(null.valid());
        EXPECT_FALSE(failed.valid());
        EXPECT_EQ(failed.get(), INVALID_HANDLE_VALUE);
        EXPECT_FALSE(emptyPipe.valid());
        EXPECT_EQ(emptyPipe.get(), INVALID_HANDLE_VALUE);
    }
    // Closing the pseudo handle of the process would succeed quietly; what shows
    // that nothing was called is the untouched error value.
    EXPECT_EQ(GetLastError(), MagicError);
}

TEST(SharedHandle, ClosingKeepsTheCallersLastError)
{
    // One real handle and one that fails to close (already closed behind the
    // owner's back): neither close may change the caller's error.
    HANDLE raw = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(raw, nullptr);
    SharedEvent owner(raw);
    SetLastError(MagicError);
    owner.reset();
    EXPECT_EQ(GetLastError(), MagicError);

    HANDLE stale = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(stale, nullptr);
    UniqueEvent unique(stale);
    ASSERT_TRUE(CloseHandle(stale));
    SetLastError(MagicError);
    unique.reset();
    EXPECT_EQ(GetLastError(), MagicError);
}

TEST(SharedHandle, RegistryKeysCloseWithRegCloseKey)
{
    const wchar_t* path = L"Software\\Halvern\\OLVTest\\SharedHandleTest";
    HKEY raw = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &raw, nullptr),
              ERROR_SUCCESS);
    {
        SharedKey key(raw);
        SharedKey copy = key;
        key.reset();
        DWORD values = 0;
        EXPECT_EQ(RegQueryInfoKeyW(copy.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                                   nullptr, nullptr, nullptr, nullptr),
                  ERROR_SUCCESS);
    }
    DWORD values = 0;
    EXPECT_NE(RegQueryInfoKeyW(raw, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_SUCCESS);
    RegDeleteKeyW(HKEY_CURRENT_USER, path);
    RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Halvern\\OLVTest");
}

TEST(UniqueHandle, ReleaseGivesTheHandleUpWithoutClosing)
{
    HANDLE raw = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(raw, nullptr);
    HANDLE released = nullptr;
    {
        UniqueEvent owner(raw);
        UniqueEvent moved(std::move(owner));
        EXPECT_EQ(owner.get(), nullptr);
        released = moved.release();
    }
    EXPECT_EQ(released, raw);
    EXPECT_TRUE(IsOpenHandle(raw));
    CloseHandle(raw);
}
