// The trace callback is the application's: nothing it does may change what
// the library does.
#include "base/UniqueHandle.h"
#include "rux/Trace.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <stdexcept>
#include <thread>

// A callback that threw left its call counted as in flight, and removing the
// callback (a client's Destroy does, through RuxSetTraceProc) then waited for
// ever.
TEST(Trace, ACallbackThatThrowsDoesNotEscapeAndCanBeRemoved)
{
    rux::Trace::Set([](const char*) { throw std::runtime_error("the application's callback failed"); });
    EXPECT_NO_THROW(rux::Trace::Line("Rux: a line of %s", "the library"));
    UniqueEvent event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    HANDLE removed = event.get();
    std::thread remover([removed] {
        rux::Trace::Set(nullptr);
        SetEvent(removed);
    });
    bool returned = WaitForSingleObject(removed, 5000) == WAIT_OBJECT_0;
    EXPECT_TRUE(returned) << "RuxSetTraceProc(nullptr) waits for a call that ended long ago";
    // A remover that never returns is left to the end of the test program,
    // with its event.
    if (returned) {
        remover.join();
    } else {
        remover.detach();
        (void)event.release();
    }
}
