// Many clients against one sink at once, the way the sink's threads once
// took the process down: connections and peers opened, used and closed by
// many threads, and the sink stopped while they churn.
#include "rux/tests/RuxTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace ruxtest;

namespace {

// Opens a connection (or a peer from `own`), sends one call and closes it.
bool OpenSendClose(const std::string& sink, RuxSink own)
{
    RuxConnection connection = own ? RuxOpenPeer(own, sink.c_str()) : RuxOpenConnection(sink.c_str());
    RuxService service = RuxOpenService(connection, "SB");
    RuxItem item = RuxBuildItem("{s:i}", "Status", 1);
    bool sent = RuxCall(service, 0, item, 0) != 0;
    RuxReleaseItem(item);
    RuxCloseService(service);
    RuxCloseConnection(connection);
    return sent;
}

}  // namespace

TEST(RuxConcurrency, SixteenThreadsOpenUseAndCloseConnectionsAndPeersAgainstOneSink)
{
    LibraryUse use;
    std::string name = UniqueName("churn");
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    RuxSink sink = RuxStartSink(name.c_str(), nullptr);
    RuxService service = RuxStartService(sink, "SB", event);
    RuxSink own = RuxStartSink(UniqueName("churnpeers").c_str(), nullptr);
    ASSERT_TRUE(service && own);

    const int threads = 16, rounds = 200;
    std::atomic<int> sent{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < threads; ++t) {
        // Every other thread opens peers, the rest plain connections.
        clients.emplace_back([&, peer = t % 2 == 1] {
            for (int i = 0; i < rounds; ++i)
                sent += OpenSendClose(name, peer ? own : nullptr) ? 1 : 0;
        });
    }
    for (auto& client : clients)
        client.join();
    EXPECT_EQ(sent.load(), threads * rounds);

    // Each close returned once its call was queued: all of them are there.
    int popped = 0;
    RuxItem call = nullptr;
    while (RuxPopCall(service, &call) == RuxResult_Call)
        ++popped;
    EXPECT_EQ(popped, threads * rounds);
    EXPECT_TRUE(OpenSendClose(name, nullptr));  // and the sink still answers
    RuxStopService(service);
    RuxStopSink(own);
    RuxStopSink(sink);
    CloseHandle(event);
}

TEST(RuxConcurrency, SinkStopsWhileClientsChurnAndItsNameServesAgain)
{
    LibraryUse use;
    std::string name = UniqueName("stopchurn");
    ServedSink served(name);
    auto [event, sink, service] = served.Handles();
    ASSERT_NE(service, nullptr);

    std::atomic<bool> quit{false};
    std::vector<std::thread> clients;
    for (int t = 0; t < 8; ++t) {
        clients.emplace_back([&] {
            while (!quit.load())
                OpenSendClose(name, nullptr);
        });
    }
    RuxItem call = nullptr;
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(PopWithin(service, event, &call), RuxResult_Call);
    RuxStopSink(sink);  // with clients in every step of their connections
    RuxStopService(service);
    quit.store(true);
    for (auto& client : clients)
        client.join();

    sink = RuxStartSink(name.c_str(), nullptr);
    service = RuxStartService(sink, "SB", event);
    ASSERT_NE(service, nullptr);
    ASSERT_TRUE(OpenSendClose(name, nullptr));
    EXPECT_EQ(RuxPopCall(service, &call), RuxResult_Call);
}
