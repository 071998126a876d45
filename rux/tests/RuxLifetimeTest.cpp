// Lifetimes: sink names owned across processes, peers that go away, the
// counted RuxInit/RuxExit, and the trace callback.
#include "rux/tests/RuxTestSupport.h"

#include <gtest/gtest.h>

#include <tlhelp32.h>

#include <atomic>
#include <cstring>

using namespace ruxtest;

namespace {

size_t ThreadsOfThisProcess()
{
    UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    size_t count = 0;
    for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry))
        count += entry.th32OwnerProcessID == GetCurrentProcessId();
    return count;
}

}  // namespace

TEST(RuxSinkName, NameTakenByAnotherProcessIsRefusedUntilItGoes)
{
    LibraryUse use;
    std::string name = UniqueName("taken");
    {
        ChildProcess holder({"Hold", name});
        ASSERT_TRUE(holder.WaitReady());
        EXPECT_EQ(RuxStartSink(name.c_str(), nullptr), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
        EXPECT_EQ(holder.Quit(), 0u);
    }
    OwnedSink sink(RuxStartSink(name.c_str(), nullptr));
    ASSERT_TRUE(sink.valid());
    EXPECT_EQ(RuxStartSink(name.c_str(), nullptr), nullptr);  // and by this process too
    ChildProcess second({"Hold", name});
    EXPECT_EQ(second.Wait(), 2u);  // the child could not start it
}

TEST(RuxPeer, PeerLossBreaksOnlyThatConnectionAndEnsurePeerReopens)
{
    LibraryUse use;
    TraceCollector trace;
    std::string own = UniqueName("own");
    std::string remote = UniqueName("remote");
    std::string other = UniqueName("other");
    OwnedSink ownSink(RuxStartSink(own.c_str(), nullptr));
    OwnedSink otherSink(RuxStartSink(other.c_str(), nullptr));
    RuxSink sink = ownSink.get();
    RuxConnection unaffected = RuxOpenConnection(other.c_str());
    ASSERT_NE(unaffected, nullptr);

    RuxConnection peer = nullptr;
    EXPECT_EQ(RuxEnsurePeer(sink, remote.c_str(), &peer), 0);  // nobody there yet
    EXPECT_EQ(peer, nullptr);
    auto first = std::make_unique<ChildProcess>(std::vector<std::string>{"Hold", remote});
    ASSERT_TRUE(first->WaitReady());
    ASSERT_NE(RuxEnsurePeer(sink, remote.c_str(), &peer), 0);  // null peer: opened
    RuxConnection opened = peer;
    ASSERT_NE(RuxEnsurePeer(sink, remote.c_str(), &peer), 0);  // healthy: kept
    EXPECT_EQ(peer, opened);
    EXPECT_NE(RuxIsConnected(peer), 0);

    EXPECT_EQ(first->Quit(), 0u);
    first.reset();
    EXPECT_EQ(RuxIsConnected(peer), 0);
    EXPECT_NE(RuxIsConnected(unaffected), 0);  // only the lost peer's connection broke

    auto second = std::make_unique<ChildProcess>(std::vector<std::string>{"Hold", remote});
    ASSERT_TRUE(second->WaitReady());
    ASSERT_NE(RuxEnsurePeer(sink, remote.c_str(), &peer), 0);
    EXPECT_NE(peer, opened);
    EXPECT_NE(RuxIsConnected(peer), 0);
    EXPECT_EQ(RuxIsConnected(opened), 0);  // the old handle is stale
    EXPECT_EQ(second->Quit(), 0u);
    EXPECT_GE(trace.Count("reopening"), 1u);

    RuxCloseConnection(peer);
    RuxCloseConnection(unaffected);
}

TEST(RuxLibrary, LastExitStopsEverythingAndJoinsItsThreads)
{
    size_t before = ThreadsOfThisProcess();
    ASSERT_EQ(RuxInit(), 1) << "another test left the library initialised";
    RuxInit();
    std::string name = UniqueName("exit");
    UniqueEvent owned(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    HANDLE event = owned.get();
    RuxSink sink = RuxStartSink(name.c_str(), event);
    RuxService service = RuxStartService(sink, "SB", event);
    RuxConnection connection = RuxOpenConnection(name.c_str());
    RuxService remote = RuxOpenService(connection, "SB");
    ASSERT_NE(remote, nullptr);
    RuxItem item = RuxBuildItem("s", "x");
    ASSERT_NE(RuxCall(remote, 0, item, 0), 0);
    // Half-open connections: two that never say Hello, one that did.
    RawClient silent(name), quiet(name), greeted(name);
    ASSERT_TRUE(silent.Open() && quiet.Open() && greeted.Hello());

    EXPECT_EQ(RuxExit(), 1);  // one user left: everything still runs
    EXPECT_NE(RuxCall(remote, 0, item, 0), 0);
    EXPECT_EQ(RuxExit(), 0);

    EXPECT_EQ(RuxCall(remote, 0, item, 0), 0);
    EXPECT_EQ(RuxStartService(sink, "Other", event), nullptr);
    RuxItem call = nullptr;
    EXPECT_EQ(RuxPopCall(service, &call), RuxResult_Empty);
    EXPECT_EQ(ThreadsOfThisProcess(), before);
    for (RawClient* client : {&silent, &quiet, &greeted})
        EXPECT_TRUE(client->ClosedBySink(5000));
    EXPECT_EQ(RuxExit(), 0);  // not below zero
    EXPECT_EQ(RuxOpenConnection(name.c_str()), nullptr);  // not initialised, and the sink is gone

    RuxInit();
    RuxSink again = RuxStartSink(name.c_str(), event);  // the name is free again
    EXPECT_NE(again, nullptr);
    EXPECT_EQ(ItemText(item), "\"x\"");  // items outlive RuxExit
    RuxReleaseItem(item);
    RuxStopSink(again);
    RuxExit();
}

namespace {

RuxSink StoppedFromTrace = nullptr;
std::atomic<int> RefusedInTrace{0};

// Stops the sink from its own thread, where the connect is traced.
void StopOnConnect(const char* line)
{
    if (std::strstr(line, "client connected")) {
        RuxStopSink(StoppedFromTrace);
        RefusedInTrace += GetLastError() == ERROR_INVALID_THREAD_ID;
    }
}

}  // namespace

TEST(RuxTrace, StoppingTheSinkFromItsOwnThreadIsRefusedNotFatal)
{
    LibraryUse use;
    std::string name = UniqueName("selfstop");
    StoppedFromTrace = RuxStartSink(name.c_str(), nullptr);
    RefusedInTrace = 0;
    RuxSetTraceProc(StopOnConnect);
    // A sink's thread cannot join itself: once, that took the process down.
    // (The sink has no service: the open is answered after the connect was
    // traced, and refused.)
    RuxConnection connection = RuxOpenConnection(name.c_str());
    EXPECT_EQ(RuxOpenService(connection, "SB"), nullptr);
    RuxSetTraceProc(nullptr);
    EXPECT_NE(connection, nullptr);
    EXPECT_EQ(RefusedInTrace.load(), 1);
    RuxCloseConnection(connection);
    RuxStopSink(StoppedFromTrace);
    EXPECT_NE(RuxStartSink(name.c_str(), nullptr), nullptr);  // stopped now: the name is free
}

TEST(RuxTrace, ReportsConnectsAndDisconnectsUntilRemoved)
{
    LibraryUse use;
    std::string name = UniqueName("trace");
    ServedSink served(name);
    HANDLE sinkEvent = served.SinkEvent();
    OwnedSink own(RuxStartSink(UniqueName("traceown").c_str(), nullptr));
    {
        TraceCollector trace;
        RuxConnection peer = RuxOpenPeer(own.get(), name.c_str());
        ASSERT_NE(peer, nullptr);
        EXPECT_TRUE(Signalled(sinkEvent));  // a peer sets the sink's event
        RuxCloseConnection(peer);
        // A plain connection greets the sink with its first service.
        EXPECT_TRUE(CallOnce(name, "plain"));
        EXPECT_FALSE(Signalled(sinkEvent, 0));  // a plain connection does not
        // The disconnect is noticed by the sink's thread: wait for its line.
        EXPECT_TRUE(trace.WaitFor("disconnected", 10000, 2));
        EXPECT_EQ(trace.Count("client connected"), 2u);
        EXPECT_EQ(trace.Count("disconnected"), 2u);
    }
    EXPECT_TRUE(CallOnce(name, "untraced"));
}
