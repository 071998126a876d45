// An allocation that fails on a sink's thread, while it reads a frame or
// decodes its item: that connection is closed and nothing else. While armed,
// every allocation of 1 MB or more fails in this executable, whose copy of the
// archive runs the sink.
#include "rux/sink/Sink.h"
#include "rux/Trace.h"
#include "rux/tests/RawClient.h"
#include "rux/tests/TraceLines.h"
#include "tests/support/AllocationFailure.h"

#include <gtest/gtest.h>

#include <string>

using namespace ruxtest;

TEST(SinkAllocation, FailureWhileReadingOrDecodingClosesOnlyThatConnection)
{
    std::string name = UniqueName("alloc");
    DWORD error = 0;
    auto sink = rux::Sink::Start(name, nullptr, error);
    ASSERT_TRUE(sink) << error;
    auto service = sink->AddService("SB", nullptr, error);
    ASSERT_TRUE(service);

    std::string settings(1, char(14));
    settings += U32(35000);
    for (int i = 0; i < 35000; ++i) {
        settings += StringItem(std::to_string(100000 + i));
        settings += std::string{char(3), 1};
    }
    const struct {
        const char* what;
        std::string item;
        const char* traced;
    } cases[] = {
        // 455 KB read into a 512 KB buffer; its member list is one
        // allocation of 1.1 MB.
        {"decoding", settings, "out of memory decoding a call"},
        // The read buffer grows to 1 MB.
        {"reading", std::string(1, char(2)) + U32(600000) + std::string(600000, 'b'), "out of memory serving"},
    };
    TraceLines trace(&rux::Trace::Set);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RawClient client(name);
        ASSERT_TRUE(client.Hello());
        uint32_t id = client.ServiceId("SB");
        {
            auto failing = testsupport::AllocationFailure::EveryFrom(1 << 20);
            client.Write(RawFrame(16, id, c.item));
            EXPECT_NE(client.Ask(4, ""), 0);
        }
        EXPECT_TRUE(client.ClosedBySink(5000));
        EXPECT_TRUE(trace.WaitFor(c.traced));
        RawClient next(name);
        EXPECT_TRUE(next.Hello());
        EXPECT_EQ(next.Ask(4, ""), 0);
    }
    rux::QueuedMessage message;
    EXPECT_FALSE(service->TakeNext(message));
    EXPECT_EQ(service->Budget().Used(), 0u);
    sink->Stop();
}
