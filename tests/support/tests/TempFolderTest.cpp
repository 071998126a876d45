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
