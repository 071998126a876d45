// The runtime tests' entry: either one child scenario (see ChildProcess.h) or
// the whole GoogleTest run.
#include "runtime/tests/ChildProcess.h"

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    int exitCode = 0;
    if (RunRequestedChildScenario(argc, argv, exitCode))
        return exitCode;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
