// A test's folder goes with everything in it, also when an assertion ended the
// test early (helpers written before it removed their folder only at the end of
// a test that got there).
#include "tests/support/TempFolder.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

using namespace testsupport;

namespace {

std::wstring Made;

// A test that fills its folder and fails half-way.
void FailWithAFullFolder()
{
    TempFolder folder;
    Made = folder.Path();
    ASSERT_TRUE(CreateDirectoryW((folder / L"sub").c_str(), nullptr));
    HANDLE file = CreateFileW((folder / L"sub\\kept.dat").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_READONLY, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    FAIL() << "the test ends here";
}

}  // namespace

TEST(TempFolder, GoesWithEverythingInItAlsoWhenAnAssertionEndsTheTest)
{
    EXPECT_FATAL_FAILURE(FailWithAFullFolder(), "the test ends here");
    ASSERT_FALSE(Made.empty());
    EXPECT_FALSE(FileExists(Made));
}

// Wine hands process ids out again: a folder that a killed process of the
// same id left under the next name is passed over and left alone.
TEST(TempFolder, AFolderLeftUnderTheNextNameIsPassedOverAndLeftAlone)
{
    std::wstring next;
    {
        TempFolder first;
        const std::wstring& path = first.Path();
        const size_t number = path.rfind(L'-') + 1;
        next = path.substr(0, number) + std::to_wstring(std::stoul(path.substr(number)) + 1);
    }
    ASSERT_TRUE(CreateDirectoryW(next.c_str(), nullptr));
    {
        TempFolder second;
        EXPECT_NE(second.Path(), next);
        EXPECT_TRUE(FileExists(second.Path()));
    }
    EXPECT_TRUE(FileExists(next));
    RemoveDirectoryW(next.c_str());
}
