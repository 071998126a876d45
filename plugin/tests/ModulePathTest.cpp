// Short-name expansion against short names that the file system itself made,
// and the module path of the code that asks.
#include "plugin/LongPathCache.h"
#include "plugin/ModulePath.h"
#include "tests/support/ProcessRun.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

using namespace testsupport;

namespace {

DWORD Now;

DWORD WINAPI TestTicks()
{
    return Now;
}

// A folder with a long name inside a fresh temporary folder, and its short
// name as the file system reports it.
struct ShortNamedFolder {
    TempFolder base;
    std::wstring longName = L"Long Folder Name For Expansion";
    std::wstring longPath = base.Path() + L"\\" + longName;
    std::wstring shortName;

    ShortNamedFolder()
    {
        CreateDirectoryW(longPath.c_str(), nullptr);
        HANDLE file = CreateFileW((longPath + L"\\file.dll").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        wchar_t shortPath[MAX_PATH + 1] = {};
        DWORD length = GetShortPathNameW(longPath.c_str(), shortPath, MAX_PATH + 1);
        std::wstring path(shortPath, length <= MAX_PATH ? length : 0);
        shortName = path.substr(path.rfind(L'\\') + 1);
    }

    std::wstring ShortPath() const { return base.Path() + L"\\" + shortName; }
};

}  // namespace

TEST(ExpandShortPath, ReplacesShortComponentsWithTheirLongNames)
{
    ShortNamedFolder folder;
    ASSERT_NE(folder.shortName.find(L'~'), std::wstring::npos) << "no short name: " << GetLastError();
    const std::wstring& base = folder.base.Path();
    std::wstring lowerLong = folder.longName;
    for (wchar_t& c : lowerLong)
        c = static_cast<wchar_t>(towlower(c));

    struct Case {
        std::wstring path;
        std::wstring expected;
    } cases[] = {
        {folder.ShortPath(), folder.longPath},
        {folder.ShortPath() + L"\\file.dll", folder.longPath + L"\\file.dll"},
        // The prefix is kept and not searched for.
        {L"\\??\\" + folder.ShortPath() + L"\\file.dll", L"\\??\\" + folder.longPath + L"\\file.dll"},
        // Trailing and doubled backslashes stay.
        {folder.ShortPath() + L"\\", folder.longPath + L"\\"},
        {folder.ShortPath() + L"\\\\file.dll", folder.longPath + L"\\\\file.dll"},
        // Names without "~" are passed through as written, whatever their case.
        {base + L"\\" + lowerLong + L"\\FILE.DLL", base + L"\\" + lowerLong + L"\\FILE.DLL"},
        // Wildcards are never searched for.
        {base + L"\\" + folder.shortName.substr(0, 3) + L"*~1", base + L"\\" + folder.shortName.substr(0, 3) + L"*~1"},
        // The first component is never searched for.
        {folder.shortName + L"\\x", folder.shortName + L"\\x"},
        {L"", L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path.begin(), c.path.end()));
        LongPathCache cache(&TestTicks);
        EXPECT_EQ(ExpandShortPath(c.path, cache), c.expected);
        EXPECT_EQ(ExpandShortPath(c.path), c.expected);
        // Complete expansions are cached; the empty path touches nothing.
        EXPECT_EQ(cache.Size(), c.path.empty() ? 0u : 1u);
    }
}

TEST(ExpandShortPath, HitWithinThePeriodNeedsNoSearchAndExpiredEntryIsSearchedAgain)
{
    ShortNamedFolder folder;
    ASSERT_NE(folder.shortName.find(L'~'), std::wstring::npos);
    Now = 100;
    LongPathCache cache(&TestTicks);
    const std::wstring path = folder.ShortPath() + L"\\file.dll";
    EXPECT_EQ(ExpandShortPath(path, cache), folder.longPath + L"\\file.dll");

    // With the folder gone only the cache still knows the long name.
    TempFolder::RemoveTree(folder.longPath);
    Now += LongPathCache::ExpiryMs - 1;
    EXPECT_EQ(ExpandShortPath(path, cache), folder.longPath + L"\\file.dll");
    Now += LongPathCache::ExpiryMs - 1;
    EXPECT_EQ(ExpandShortPath(path, cache), folder.longPath + L"\\file.dll");

    // Expired: searched again, not found, left as written and not cached.
    Now += LongPathCache::ExpiryMs;
    EXPECT_EQ(ExpandShortPath(path, cache), path);
    EXPECT_EQ(cache.Size(), 0u);
}

TEST(ExpandShortPath, MissingShortComponentIsSearchedAgainOnTheNextCall)
{
    ShortNamedFolder folder;
    ASSERT_NE(folder.shortName.find(L'~'), std::wstring::npos);
    // The short name of a folder that does not exist yet.
    TempFolder::RemoveTree(folder.longPath);
    LongPathCache cache(&TestTicks);
    const std::wstring path = folder.ShortPath();
    EXPECT_EQ(ExpandShortPath(path, cache), path);
    EXPECT_EQ(cache.Size(), 0u);

    // Made again, it gets the same short name (the first of its kind), and
    // the next call finds it.
    ASSERT_TRUE(CreateDirectoryW(folder.longPath.c_str(), nullptr));
    EXPECT_EQ(ExpandShortPath(path, cache), folder.longPath);
    EXPECT_EQ(cache.Size(), 1u);
}

TEST(GetModulePath, NamesTheModuleThatHoldsTheCode)
{
    // Linked into this test program, the code lives in its executable.
    std::wstring path = GetModulePath();
    EXPECT_EQ(path, ModuleFileName(nullptr));
    ASSERT_GT(path.size(), 17u);
    EXPECT_EQ(_wcsicmp(path.substr(path.size() - 17).c_str(), L"\\plugin_tests.exe"), 0);
}

TEST(ModuleFileName, ReadsNamesLongerThanTheFirstBuffer)
{
    // A copy of the plug-in under a path of more than 520 characters, which
    // only the "\\?\" form reaches (and removes).
    TempFolder base;
    struct DeepCleanup {
        std::wstring root;
        ~DeepCleanup() { TempFolder::RemoveTree(root); }
    } cleanup{L"\\\\?\\" + base.Path() + L"\\" + std::wstring(150, L'a')};
    std::wstring folder = L"\\\\?\\" + base.Path();
    for (int i = 0; i < 4; ++i) {
        folder += L"\\" + std::wstring(150, static_cast<wchar_t>(L'a' + i));
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)) << GetLastError();
    }
    std::wstring copy = folder + L"\\RUXUI.dll";
    ASSERT_TRUE(CopyFileW(BesideTestProgram(L"RUXUI.dll").c_str(), copy.c_str(), FALSE)) << GetLastError();

    HMODULE module = LoadLibraryW(copy.c_str());
    ASSERT_NE(module, nullptr) << GetLastError();
    std::wstring name = ModuleFileName(module);
    FreeLibrary(module);
    EXPECT_GT(name.size(), 600u);
    EXPECT_EQ(name.substr(name.size() - 10), L"\\RUXUI.dll");
    EXPECT_NE(name.find(std::wstring(150, L'd')), std::wstring::npos);
}
