// The tests of this executable write plain logs unless they say otherwise
// (ScopedLogFlags in tests/support/LogSupport.h): most of them check exact lines
// and file sizes of the plain format, and a plain log never touches the user's
// shared stream key. A child process keeps what its parent test gave it.
#include "tests/support/ChildScenario.h"

#include <windows.h>

namespace {

struct PlainLogsByDefault {
    PlainLogsByDefault()
    {
        if (!testsupport::IsChildScenarioProcess())
            SetEnvironmentVariableW(L"OLVLOGFLAGS", L"1");
    }
} Default;

}  // namespace
