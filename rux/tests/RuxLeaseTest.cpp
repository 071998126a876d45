// A connection whose reading is lent to the thread that pops a service: what
// that connection carries besides that service's messages, and the ways the
// lease ends (service stopped, popping thread gone, application not popping).
// Each test makes the lease the same way: a first message to a drained service,
// popped, then an empty pop, which leaves a read of the popping thread pending.
#include "rux/tests/RuxTestSupport.h"

#include <gtest/gtest.h>

#include <thread>

using namespace ruxtest;

namespace {

struct TwoServices {
    std::string name = UniqueName("lease");
    HANDLE eventA = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE eventB = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    RuxSink sink = RuxStartSink(name.c_str(), nullptr);
    RuxService a = RuxStartService(sink, "A", eventA);
    RuxService b = RuxStartService(sink, "B", eventB);
    RuxConnection connection = RuxOpenConnection(name.c_str());
    RuxService toA = RuxOpenService(connection, "A");
    RuxService toB = RuxOpenService(connection, "B");

    ~TwoServices()
    {
        RuxCloseService(toA);
        RuxCloseService(toB);
        RuxCloseConnection(connection);
        RuxStopService(a);
        RuxStopService(b);
        RuxStopSink(sink);
        CloseHandle(eventA);
        CloseHandle(eventB);
    }
    bool Ready() const { return toA && toB; }
};

bool Send(RuxService service, const char* text)
{
    RuxItem item = RuxBuildItem("s", text);
    bool sent = RuxCall(service, 0, item, 0) != 0;
    RuxReleaseItem(item);
    return sent;
}

std::string PopText(RuxService service, HANDLE event)
{
    RuxItem call = nullptr;
    return PopWithin(service, event, &call) == RuxResult_Call ? ItemText(call) : std::string("<none>");
}

// Waits on both services and pops both until one message came: "A:text" or
// "B:text". The application of A pops too, as a plug-in woken by its event
// would, so a message for B read on A's popping thread is seen going astray.
std::string PopEither(TwoServices& s)
{
    ULONGLONG deadline = GetTickCount64() + 5000;
    for (;;) {
        RuxItem call = nullptr;
        if (RuxPopCall(s.a, &call) == RuxResult_Call)
            return "A:" + ItemText(call);
        if (RuxPopCall(s.b, &call) == RuxResult_Call)
            return "B:" + ItemText(call);
        ULONGLONG now = GetTickCount64();
        HANDLE waits[2] = {s.eventA, s.eventB};
        if (now >= deadline ||
            WaitForMultipleObjects(2, waits, FALSE, static_cast<DWORD>(deadline - now)) == WAIT_TIMEOUT)
            return "<none>";
    }
}

// Lends the connection's reading to the caller's thread for service A.
void LendToA(TwoServices& s)
{
    ASSERT_TRUE(Send(s.toA, "first"));
    ASSERT_EQ(PopText(s.a, s.eventA), "\"first\"");
    RuxItem call = nullptr;
    ASSERT_EQ(RuxPopCall(s.a, &call), RuxResult_Empty);
}

}  // namespace

TEST(RuxLentConnection, CarriesOtherServicesRequestsAndItsOwnServiceInOrder)
{
    LibraryUse use;
    TwoServices s;
    ASSERT_TRUE(s.Ready());
    LendToA(s);
    ASSERT_TRUE(Send(s.toB, "for B"));
    EXPECT_EQ(PopEither(s), "B:\"for B\"");
    for (const char* text : {"one", "two", "three"})
        ASSERT_TRUE(Send(s.toA, text));
    for (const char* text : {"A:\"one\"", "A:\"two\"", "A:\"three\""})
        EXPECT_EQ(PopEither(s), text);
    // A request on the same connection is answered while A does not pop.
    RuxService again = RuxOpenService(s.connection, "B");
    EXPECT_NE(again, nullptr);
    RuxCloseService(again);
    EXPECT_EQ(RuxIsConnected(s.connection), 1);
}

TEST(RuxLentConnection, CloseReturnsAndNothingIsLostWhenTheApplicationDoesNotPop)
{
    LibraryUse use;
    TwoServices s;
    ASSERT_TRUE(s.Ready());
    LendToA(s);
    ASSERT_TRUE(Send(s.toA, "last"));
    RuxCloseService(s.toA);
    RuxCloseConnection(s.connection);
    s.toA = nullptr;
    s.connection = nullptr;
    EXPECT_EQ(PopText(s.a, s.eventA), "\"last\"");
}

TEST(RuxLentConnection, StoppingTheServiceLeavesTheConnectionToTheOthers)
{
    LibraryUse use;
    TraceCollector trace;
    TwoServices s;
    ASSERT_TRUE(s.Ready());
    LendToA(s);
    RuxStopService(s.a);
    s.a = nullptr;
    ASSERT_TRUE(Send(s.toA, "to nobody"));
    ASSERT_TRUE(Send(s.toB, "for B"));
    EXPECT_EQ(PopText(s.b, s.eventB), "\"for B\"");
    EXPECT_EQ(trace.Count("dropped a call for a service that is not running"), 1u);
    EXPECT_EQ(RuxIsConnected(s.connection), 1);
}

TEST(RuxLentConnection, TheThreadThatReadMayEndAndMessagesStillArrive)
{
    LibraryUse use;
    TwoServices s;
    ASSERT_TRUE(s.Ready());
    std::thread popper([&] { LendToA(s); });
    popper.join();
    for (const char* text : {"after", "the thread"})
        ASSERT_TRUE(Send(s.toA, text));
    EXPECT_EQ(PopText(s.a, s.eventA), "\"after\"");
    EXPECT_EQ(PopText(s.a, s.eventA), "\"the thread\"");
}

TEST(RuxLentConnection, SinkStopsWhileTheApplicationWaitsOnTheServiceEvent)
{
    LibraryUse use;
    TwoServices s;
    ASSERT_TRUE(s.Ready());
    HANDLE lent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE quit = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE stopped = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // The application: its read stays pending while it waits on its event,
    // taking every signal of that event, as a plug-in's service thread does.
    std::thread application([&] {
        LendToA(s);
        SetEvent(lent);
        HANDLE waits[2] = {quit, s.eventA};
        while (WaitForMultipleObjects(2, waits, FALSE, 10000) == WAIT_OBJECT_0 + 1) {
        }
    });
    ASSERT_TRUE(Signalled(lent));
    std::thread stopper([&] {
        RuxStopSink(s.sink);
        SetEvent(stopped);
    });
    EXPECT_TRUE(Signalled(stopped, 10000)) << "the sink did not stop";
    SetEvent(quit);
    application.join();
    if (Signalled(stopped, 0))
        stopper.join();
    else
        stopper.detach();
    s.sink = nullptr;
    for (HANDLE handle : {lent, quit, stopped})
        CloseHandle(handle);
}
