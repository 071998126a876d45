// Many clients against one sink at once, the way the sink's threads once
// took the process down: connections and peers opened, used and closed by
// many threads, and the sink stopped while they churn.
#include "rux/tests/RuxTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace ruxtest;

using RuxConcurrency = OneSinkTest;

TEST_F(RuxConcurrency, SixteenThreadsOpenUseAndCloseConnectionsAndPeersAgainstOneSink)
{
    OwnedSink own(RuxStartSink(UniqueName("churnpeers").c_str(), nullptr));
    ASSERT_TRUE(own.valid());

    const int threads = 16, rounds = 200;
    std::atomic<int> sent{0};
    std::vector<std::jthread> clients;
    for (int t = 0; t < threads; ++t) {
        // Every other thread opens peers, the rest plain connections.
        clients.emplace_back([&, peer = t % 2 == 1] {
            for (int i = 0; i < rounds; ++i)
                sent += CallOnce(name, "churn", peer ? own.get() : nullptr) ? 1 : 0;
        });
    }
    clients.clear();
    EXPECT_EQ(sent.load(), threads * rounds);

    // Each close returned once its call was queued: all of them are there.
    int popped = 0;
    RuxItem call = nullptr;
    while (RuxPopCall(service, &call) == RuxResult_Call)
        ++popped;
    EXPECT_EQ(popped, threads * rounds);
    EXPECT_TRUE(CallOnce(name, "churn"));  // and the sink still answers
}

TEST_F(RuxConcurrency, SinkStopsWhileClientsChurnAndItsNameServesAgain)
{
    // Asked to stop and joined as they go, also when an assertion ends the test.
    std::vector<std::jthread> clients;
    for (int t = 0; t < 8; ++t) {
        clients.emplace_back([&](std::stop_token stop) {
            while (!stop.stop_requested())
                CallOnce(name, "churn");
        });
    }
    RuxItem call = nullptr;
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(PopWithin(service, event, &call), RuxResult_Call);
    RuxStopSink(sink);  // with clients in every step of their connections
    RuxStopService(service);
    clients.clear();

    ServedSink again(name);
    auto [againEvent, againSink, againService] = again.Handles();
    ASSERT_NE(againService, nullptr);
    ASSERT_TRUE(CallOnce(name, "again"));
    EXPECT_EQ(RuxPopCall(againService, &call), RuxResult_Call);
}
