// The entry of every test program: a child scenario when the command line asks
// for one (ChildScenario.h), the GoogleTest run otherwise.
#include "tests/support/ChildScenario.h"

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    if (std::optional<int> exitCode = testsupport::RunRequestedChildScenario())
        return *exitCode;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
