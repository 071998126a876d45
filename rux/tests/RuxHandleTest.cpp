// Every call checks its handles: null, released, stale, mistyped and foreign
// values get the failure result and never touch memory.
#include "rux/tests/RuxTestSupport.h"

#include <gtest/gtest.h>

using namespace ruxtest;

namespace {

// Calls every item accessor and message call with `item` as the item handle
// and expects each to fail, leaving its out-parameters untouched.
void ExpectItemCallsFail(RuxItem item, const char* what)
{
    SCOPED_TRACE(what);
    const RuxItem marker = reinterpret_cast<RuxItem>(0x5151);
    RuxItem out = marker;
    int32_t number = 77;
    uint16_t length = 77;
    char buffer[16] = "untouched";
    EXPECT_NE(RuxGetAssoc(item, "proc", &out), 0);
    EXPECT_NE(RuxGetType(item, &number), 0);
    EXPECT_NE(RuxGetLen(item, &length), 0);
    EXPECT_NE(RuxGetNthKey(item, 0, &out), 0);
    EXPECT_NE(RuxGetAt(item, item, &out), 0);
    EXPECT_NE(RuxGetBool(item, &number), 0);
    EXPECT_NE(RuxGetInt(item, &number), 0);
    EXPECT_NE(RuxCopyStr(item, buffer, 0, sizeof buffer), 0);
    EXPECT_NE(RuxCopyBlob(item, buffer, &length, sizeof buffer), 0);
    EXPECT_EQ(RuxAssocSet(item, "k", item), 0);
    RuxReleaseItem(item);  // harmless
    EXPECT_EQ(out, marker);
    EXPECT_EQ(number, 77);
    EXPECT_EQ(length, 77);
    EXPECT_STREQ(buffer, "untouched");
}

void ExpectServiceCallsFail(RuxService service, const char* what)
{
    SCOPED_TRACE(what);
    RuxItem item = RuxBuildItem("s", "x");
    RuxItem call = reinterpret_cast<RuxItem>(0x5151);
    EXPECT_EQ(RuxPopCall(service, &call), RuxResult_Empty);
    EXPECT_EQ(call, reinterpret_cast<RuxItem>(0x5151));
    EXPECT_EQ(RuxCall(service, 0, item, 0), 0);
    EXPECT_EQ(RuxAdvise(service, 0, item), 0);
    EXPECT_EQ(RuxUpdate(service, 0, item), 0);
    EXPECT_EQ(RuxReply(service, 0, item, item, item), 0);
    EXPECT_EQ(RuxQuery(service, 0, item, nullptr, item, "a", "b"), 0);
    RuxCloseService(service);
    RuxStopService(service);
    RuxReleaseItem(item);
}

}  // namespace

TEST(RuxHandles, NullReleasedStaleMistypedAndForeignItemsAreRefused)
{
    LibraryUse use;
    ExpectItemCallsFail(nullptr, "null");

    RuxItem released = RuxBuildItem("{s:s}", "proc", "x");
    RuxReleaseItem(released);
    ExpectItemCallsFail(released, "released");

    // The freed slot is taken by a new item: the old handle must not reach it.
    RuxItem reused = RuxBuildItem("s", "new");
    ExpectItemCallsFail(released, "stale after reuse");
    EXPECT_EQ(ItemText(reused), "\"new\"");

    OwnedSink owned(RuxStartSink(UniqueName("handles").c_str(), nullptr));
    RuxSink sink = owned.get();
    ASSERT_NE(sink, nullptr);
    ExpectItemCallsFail(reinterpret_cast<RuxItem>(sink), "a sink handle");
    int local = 0;
    ExpectItemCallsFail(reinterpret_cast<RuxItem>(&local), "a stack address");
    ExpectItemCallsFail(reinterpret_cast<RuxItem>(uintptr_t(-1)), "all ones");
    // A live handle of this process with its generation changed, as a handle
    // of another process would look.
    ExpectItemCallsFail(reinterpret_cast<RuxItem>(reinterpret_cast<uintptr_t>(reused) ^ (uintptr_t(1) << 40)),
                        "foreign generation");
    EXPECT_EQ(ItemText(reused), "\"new\"");
    RuxReleaseItem(reused);
}

TEST(RuxHandles, EndpointCallsRefuseWrongHandles)
{
    LibraryUse use;
    std::string name = UniqueName("endpoints");
    ServedSink served(name);
    auto [event, sink, started] = served.Handles();
    ASSERT_NE(started, nullptr);
    RuxItem item = RuxBuildItem("s", "x");

    ExpectServiceCallsFail(nullptr, "null service");
    ExpectServiceCallsFail(reinterpret_cast<RuxService>(item), "an item as service");
    ExpectServiceCallsFail(reinterpret_cast<RuxService>(sink), "a sink as service");
    EXPECT_EQ(RuxCall(started, 0, item, 0), 0);  // a started service is not a destination

    EXPECT_EQ(RuxStartService(nullptr, "SB", event), nullptr);
    EXPECT_EQ(RuxStartService(reinterpret_cast<RuxSink>(item), "SB", event), nullptr);
    EXPECT_EQ(RuxStartService(sink, "SB", event), nullptr);  // already there
    EXPECT_EQ(RuxOpenService(nullptr, "SB"), nullptr);
    EXPECT_EQ(RuxOpenService(reinterpret_cast<RuxConnection>(sink), "SB"), nullptr);
    EXPECT_EQ(RuxOpenPeer(nullptr, name.c_str()), nullptr);
    EXPECT_EQ(RuxOpenConnection(nullptr), nullptr);
    EXPECT_EQ(RuxOpenConnection(""), nullptr);
    EXPECT_EQ(RuxOpenConnection("bad\\name"), nullptr);
    // An exchange's deadline is 1 ms to a minute.
    for (uint32_t deadline : {0u, 60001u}) {
        RuxExchange exchange{deadline, nullptr, nullptr};
        EXPECT_EQ(RuxOpenExchange(name.c_str(), &exchange), nullptr) << deadline;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << deadline;
    }
    EXPECT_EQ(RuxStartSink(nullptr, event), nullptr);
    // Names of 1 to 128 bytes.
    std::string longest = UniqueName("longest");
    longest.resize(128, 'n');
    OwnedSink atLimit(RuxStartSink(longest.c_str(), event));
    EXPECT_TRUE(atLimit.valid());
    EXPECT_EQ(RuxStartSink((longest + 'n').c_str(), event), nullptr);
    EXPECT_EQ(RuxOpenConnection((longest + 'n').c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
    RuxConnection peer = RuxOpenPeer(sink, longest.c_str());
    EXPECT_NE(peer, nullptr);
    RuxCloseConnection(peer);
    EXPECT_EQ(RuxOpenPeer(sink, (longest + 'n').c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
    // Service names likewise.
    EXPECT_NE(served.AddService(longest.c_str(), event), nullptr);
    EXPECT_EQ(RuxStartService(sink, (longest + 'n').c_str(), event), nullptr);
    EXPECT_NE(RemoteService(name, longest.c_str()).get(), nullptr);
    {
        RemoteService above(name, (longest + 'n').c_str());
        EXPECT_EQ(above.get(), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
    }
    EXPECT_EQ(RuxEnsurePeer(sink, name.c_str(), nullptr), 0);
    EXPECT_EQ(RuxIsConnected(nullptr), 0);
    RuxCloseConnection(reinterpret_cast<RuxConnection>(item));
    RuxStopSink(reinterpret_cast<RuxSink>(started));
    RuxStopService(reinterpret_cast<RuxService>(sink));

    // None of the wrong calls above stopped or freed the real objects.
    EXPECT_EQ(ItemText(item), "\"x\"");
    RuxConnection connection = RuxOpenConnection(name.c_str());
    RuxService opened = RuxOpenService(connection, "SB");
    ASSERT_NE(opened, nullptr);
    EXPECT_NE(RuxCall(opened, 0, item, 0), 0);
    RuxCloseService(opened);
    ExpectServiceCallsFail(opened, "closed service");
    RuxCloseConnection(connection);
    EXPECT_EQ(RuxOpenService(connection, "SB"), nullptr);  // closed connection

    RuxItem call = nullptr;
    ASSERT_EQ(PopWithin(started, event, &call), RuxResult_Call);
    RuxStopService(started);
    ExpectServiceCallsFail(started, "stopped service");
    EXPECT_EQ(ItemText(call), "<invalid>");  // the popped call went with its service
    RuxStopSink(sink);
    RuxStopSink(sink);  // twice: the second is stale
    EXPECT_EQ(RuxStartService(sink, "SB", event), nullptr);
    RuxReleaseItem(item);
}
