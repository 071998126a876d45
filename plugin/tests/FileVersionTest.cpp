// File versions read through version.dll loaded at run time: files made with
// the versions each case needs, files without one, a library that cannot be
// loaded or lacks the functions, and the shared owner that frees it.
#include "plugin/FileVersion.h"
#include "plugin/SharedLibraryHandle.h"
#include "plugin/VersionLibrary.h"
#include "base/UniqueHandle.h"
#include "tests/support/ProcessRun.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace testsupport;

namespace {

constexpr DWORD MagicError = 0x5EED1u;

// The smallest version resource: the root block with its fixed file
// information and no string or translation tables.
#pragma pack(push, 2)
struct VersionBlock {
    WORD length;
    WORD valueLength;
    WORD type;
    wchar_t key[16];
    WORD padding;
    VS_FIXEDFILEINFO fixed;
};
#pragma pack(pop)
static_assert(offsetof(VersionBlock, fixed) == 40 && sizeof(VersionBlock) == 92);

// A copy of this test program (which has no version resource) with the
// version major.minor.build.revision.
std::wstring MakeVersionedFile(const TempFolder& folder, const wchar_t* name, WORD major, WORD minor, WORD build,
                               WORD revision)
{
    std::wstring path = folder.Path() + L"\\" + name;
    if (!CopyFileW(TestProgramPath().c_str(), path.c_str(), FALSE))
        return std::wstring();
    VersionBlock block = {};
    block.length = sizeof(block);
    block.valueLength = sizeof(VS_FIXEDFILEINFO);
    memcpy(block.key, L"VS_VERSION_INFO", sizeof(block.key));
    block.fixed.dwSignature = VS_FFI_SIGNATURE;
    block.fixed.dwStrucVersion = VS_FFI_STRUCVERSION;
    block.fixed.dwFileVersionMS = MAKELONG(minor, major);
    block.fixed.dwFileVersionLS = MAKELONG(revision, build);
    block.fixed.dwProductVersionMS = block.fixed.dwFileVersionMS;
    block.fixed.dwProductVersionLS = block.fixed.dwFileVersionLS;
    block.fixed.dwFileOS = VOS_NT_WINDOWS32;
    block.fixed.dwFileType = VFT_APP;
    HANDLE update = BeginUpdateResourceW(path.c_str(), FALSE);
    if (!update)
        return std::wstring();
    if (!UpdateResourceW(update, RT_VERSION, MAKEINTRESOURCEW(VS_VERSION_INFO), MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL),
                         &block, sizeof(block))) {
        EndUpdateResourceW(update, TRUE);
        return std::wstring();
    }
    return EndUpdateResourceW(update, FALSE) ? path : std::wstring();
}

bool ImportsLibrary(HMODULE module, const char* library)
{
    auto base = reinterpret_cast<const BYTE*>(module);
    auto nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0)
        return false;
    for (auto entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress); entry->Name;
         ++entry) {
        if (_stricmp(reinterpret_cast<const char*>(base + entry->Name), library) == 0)
            return true;
    }
    return false;
}

}  // namespace

TEST(FileVersion, RendersEachHalfOfBothWordsInFull)
{
    TempFolder folder;
    struct Case {
        const wchar_t* name;
        WORD major, minor, build, revision;
        std::uint64_t number;
        const wchar_t* text;
    } cases[] = {
        {L"v1001.exe", 1, 0, 0, 1, 0x0001000000000001ull, L"1.0.0.1"},
        // 0.0.0.0 is no version at all, not the text "0.0.0.0".
        {L"v0000.exe", 0, 0, 0, 0, 0, L""},
        // Major and minor keep all 16 bits, not only the low four.
        {L"v17.exe", 17, 18, 3, 4, 0x0011001200030004ull, L"17.18.3.4"},
        {L"vmax.exe", 65535, 65535, 65535, 65535, ~0ull, L"65535.65535.65535.65535"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::wstring path = MakeVersionedFile(folder, c.name, c.major, c.minor, c.build, c.revision);
        ASSERT_FALSE(path.empty()) << GetLastError();
        EXPECT_EQ(GetFileVersionNumber(path), c.number);
        EXPECT_EQ(GetFileVersionString(path), c.text);
    }
}

TEST(FileVersion, PluginModuleCarriesTheProjectVersion)
{
    EXPECT_EQ(GetFileVersionString(BesideTestProgram(L"RUXUI.dll")), L"1.2.3.4");
}

TEST(FileVersion, FileWithoutVersionOrMissingFileGivesZeroAndEmptyText)
{
    for (const std::wstring& path : {TestProgramPath(), BesideTestProgram(L"no-such-file.dll"), std::wstring()}) {
        SCOPED_TRACE(std::string(path.begin(), path.end()));
        EXPECT_EQ(GetFileVersionNumber(path), 0u);
        EXPECT_EQ(GetFileVersionString(path), L"");
    }
}

TEST(FileVersion, VersionLibraryIsLoadedAtRunTimeNotImported)
{
    UniqueModule plugin(LoadLibraryW(BesideTestProgram(L"RUXUI.dll").c_str()));
    ASSERT_TRUE(plugin.valid()) << GetLastError();
    EXPECT_FALSE(ImportsLibrary(plugin.get(), "version.dll"));
}

TEST(FileVersion, ConcurrentQueriesAllSeeTheVersion)
{
    TempFolder folder;
    std::wstring path = MakeVersionedFile(folder, L"shared.exe", 4, 3, 2, 1);
    ASSERT_FALSE(path.empty());
    std::vector<std::thread> threads;
    std::vector<int> wrong(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 5; ++i)
                wrong[t] += GetFileVersionString(path) != L"4.3.2.1";
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

TEST(VersionLibrary, FailedLoadIsRememberedAndNeverTriedAgain)
{
    VersionLibrary library(BesideTestProgram(L"no-such-folder\\version.dll"));
    EXPECT_EQ(library.Module(), nullptr);
    EXPECT_EQ(library.Query(TestProgramPath()), 0u);
    EXPECT_EQ(library.Module(), SharedLibraryHandle::LoadFailed());
    // A second load attempt would set the last error.
    const std::wstring versioned = BesideTestProgram(L"RUXUI.dll");
    SetLastError(MagicError);
    EXPECT_EQ(library.Query(versioned), 0u);
    EXPECT_EQ(GetLastError(), MagicError);
}

TEST(VersionLibrary, LibraryWithoutTheFunctionsGivesZeroAndIsFreedWithTheObject)
{
    const std::wstring plugin = BesideTestProgram(L"RUXUI.dll");
    ASSERT_EQ(GetModuleHandleW(plugin.c_str()), nullptr);
    {
        VersionLibrary library(plugin);
        EXPECT_EQ(library.Query(plugin), 0u);
        EXPECT_NE(library.Module(), SharedLibraryHandle::LoadFailed());
        EXPECT_NE(GetModuleHandleW(plugin.c_str()), nullptr);
    }
    EXPECT_EQ(GetModuleHandleW(plugin.c_str()), nullptr);
}

TEST(SharedLibraryHandle, LastOwnerFreesTheLibraryAndKeepsTheLastError)
{
    const std::wstring plugin = BesideTestProgram(L"RUXUI.dll");
    ASSERT_EQ(GetModuleHandleW(plugin.c_str()), nullptr);
    auto first = std::make_unique<SharedLibraryHandle>();
    EXPECT_EQ(first->Get(), nullptr);
    first->Reset(LoadLibraryW(plugin.c_str()));
    ASSERT_NE(first->Get(), nullptr);

    SharedLibraryHandle second(*first);
    second = second;
    SharedLibraryHandle third;
    third = *first;
    EXPECT_EQ(first->UseCount(), 3);
    first.reset();
    third.Reset(nullptr);
    EXPECT_EQ(second.UseCount(), 1);
    EXPECT_NE(GetModuleHandleW(plugin.c_str()), nullptr);

    SetLastError(MagicError);
    second.Reset(SharedLibraryHandle::LoadFailed());
    EXPECT_EQ(GetLastError(), MagicError);
    EXPECT_EQ(GetModuleHandleW(plugin.c_str()), nullptr);
}
