// Round trips with a second process (this executable as the echo child), in
// the pattern the plug-in uses: a fresh connection per message, closed at once.
#include "rux/tests/RuxTestSupport.h"

#include <gtest/gtest.h>

using namespace ruxtest;

namespace {

// Our sink with service "SB", and the echo child with its own sink.
class EchoPair {
public:
    EchoPair()
        : ownName(UniqueName("parent")), childName(UniqueName("child")), served(ownName),
          child({"Echo", childName, ownName})
    {
        std::tie(serviceEvent, std::ignore, service) = served.Handles();
    }
    ~EchoPair()
    {
        SendToChild(RuxResult_Call, RuxBuildItem("s", "quit"));
        EXPECT_EQ(child.Wait(), 0u);
    }

    // Sends and releases `item` on a fresh connection to the child.
    bool SendToChild(int32_t kind, RuxItem item, RuxItem arg = nullptr)
    {
        RuxItem cookie = RuxBuildItem("i", 4242);
        bool sent = SendOnce(childName, [&](RuxService remote) {
            return kind == RuxResult_Query ? RuxQuery(remote, 0, item, arg, cookie, ownName.c_str(), "SB")
                                           : SendAs(remote, kind, item);
        });
        for (RuxItem used : {item, arg, cookie})
            RuxReleaseItem(used);
        return sent;
    }

    std::string ownName;
    std::string childName;
    ServedSink served;
    HANDLE serviceEvent = nullptr;
    RuxService service = nullptr;
    ChildProcess child;
};

}  // namespace

TEST(RuxMessaging, EveryKindMakesTheRoundTripThroughAnotherProcess)
{
    LibraryUse use;
    EchoPair pair;
    ASSERT_NE(pair.service, nullptr);
    ASSERT_TRUE(pair.child.WaitReady());
    // The child's peer to us set our sink event.
    EXPECT_TRUE(Signalled(pair.served.SinkEvent()));

    struct Case {
        int32_t kind;
        RuxItem item;
        const char* echoed;
    } cases[] = {
        {RuxResult_Call, RuxBuildItem("s", "ShowSBSettingDialog"), "\"ShowSBSettingDialog\""},
        {RuxResult_Call, RuxBuildItem("{s:s,s:b}", "proc", "Enable", "arg", 1), "{proc:\"Enable\",arg:true}"},
        {RuxResult_Advise, RuxBuildItem("{s:i,s:s}", "Status", 1, "Version", "1.2.3.4"),
         "{Status:1,Version:\"1.2.3.4\"}"},
        {RuxResult_Update, RuxBuildItem("{s:i}", "Status", 0), "{Status:0}"},
        {RuxResult_Call, RuxBuildBlob("a\0b", 3), "blob\"a\\x00b\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.echoed);
        ASSERT_TRUE(pair.SendToChild(c.kind, c.item));
        RuxItem call = nullptr;
        ASSERT_EQ(PopWithin(pair.service, pair.serviceEvent, &call), c.kind);
        EXPECT_EQ(ItemText(call), c.echoed);
    }
}

TEST(RuxMessaging, QueryIsAnsweredWithProcAndCookieOnTheSourceSink)
{
    LibraryUse use;
    EchoPair pair;
    ASSERT_TRUE(pair.child.WaitReady());
    ASSERT_TRUE(pair.SendToChild(RuxResult_Query, RuxBuildItem("s", "ApplySBSetting"),
                                 RuxBuildItem("{s:b,s:b}", "EnableScanSpy", 1, "EnableVirtual", 0)));
    RuxItem reply = nullptr;
    ASSERT_EQ(PopWithin(pair.service, pair.serviceEvent, &reply), RuxResult_Reply);
    EXPECT_EQ(ItemText(reply),
              "{proc:\"ApplySBSetting\",cookie:4242,result:{EnableScanSpy:true,EnableVirtual:false}}");

    // A query without "arg" has no such member; the child answers with "proc".
    ASSERT_TRUE(pair.SendToChild(RuxResult_Query, RuxBuildItem("s", "RequestSBSetting")));
    ASSERT_EQ(PopWithin(pair.service, pair.serviceEvent, &reply), RuxResult_Reply);
    EXPECT_EQ(ItemText(reply), "{proc:\"RequestSBSetting\",cookie:4242,result:\"RequestSBSetting\"}");
}

TEST(RuxMessaging, QueryCarriesProcArgServiceSourceAndCookie)
{
    LibraryUse use;
    std::string name = UniqueName("query");
    ServedSink served(name);
    auto [event, sink, service] = served.Handles();
    RemoteService opened(name);
    RuxService remote = opened.get();
    RuxItem proc = RuxBuildItem("s", "ApplySBSetting");
    RuxItem arg = RuxBuildItem("{s:b}", "EnableAutoUpdate", 1);
    RuxItem cookie = RuxBuildItem("s", "c-1");
    ASSERT_NE(RuxQuery(remote, 0, proc, arg, cookie, "QClient(1)", "SB"), 0);
    EXPECT_EQ(RuxQuery(remote, 0, proc, arg, nullptr, "QClient(1)", "SB"), 0);  // no cookie
    EXPECT_EQ(RuxQuery(remote, 0, proc, arg, cookie, "", "SB"), 0);             // no source

    RuxItem call = nullptr;
    ASSERT_EQ(PopWithin(service, event, &call), RuxResult_Query);
    EXPECT_EQ(ItemText(call),
              "{proc:\"ApplySBSetting\",arg:{EnableAutoUpdate:true},service:\"SB\",source:\"QClient(1)\","
              "cookie:\"c-1\"}");
    RuxItem member = nullptr;
    ASSERT_EQ(RuxGetAssoc(call, "source", &member), 0);
    // The popped call and what was read from it stay valid until the next pop,
    // even one that finds the queue empty.
    RuxItem popped = call;
    EXPECT_EQ(RuxPopCall(service, &call), RuxResult_Empty);
    EXPECT_EQ(call, popped);  // untouched
    EXPECT_EQ(ItemText(popped), "<invalid>");
    EXPECT_EQ(ItemText(member), "<invalid>");

    // Either name may have 128 bytes, not one more.
    const std::string longest(128, 'q'), above(129, 'q');
    EXPECT_EQ(RuxQuery(remote, 0, proc, arg, cookie, above.c_str(), "SB"), 0);
    EXPECT_EQ(RuxQuery(remote, 0, proc, arg, cookie, "QClient(1)", above.c_str()), 0);
    ASSERT_NE(RuxQuery(remote, 0, proc, arg, cookie, longest.c_str(), longest.c_str()), 0);
    ASSERT_EQ(PopWithin(service, event, &call), RuxResult_Query);
    for (const char* key : {"source", "service"}) {
        ASSERT_EQ(RuxGetAssoc(call, key, &member), 0);
        EXPECT_EQ(ItemText(member), '"' + longest + '"') << key;
    }
    EXPECT_EQ(RuxPopCall(service, &call), RuxResult_Empty);
    for (RuxItem item : {proc, arg, cookie})
        RuxReleaseItem(item);
}

// A close does not wait for the sink: the next connection's open does, and a
// pop of the sink's own process. Every other message is wide, so that the
// sink's thread is still decoding it when the next connection's arrives.
TEST(RuxMessaging, MessagesSentJustBeforeCloseArriveInOrder)
{
    LibraryUse use;
    std::string name = UniqueName("order");
    ServedSink served(name);
    auto [event, sink, service] = served.Handles();
    RuxItem wide = RuxBuildItem("{}");
    RuxItem flag = RuxBuildItem("b", 1);
    for (int k = 0; k < 30000; ++k)
        RuxAssocSet(wide, std::to_string(k).c_str(), flag);
    auto send = [&](int i) {
        RuxItem item = RuxBuildItem("{s:i}", "Status", i);
        if (i % 2 == 0)
            RuxAssocSet(item, "Wide", wide);
        bool sent = SendOnce(name, [item](RuxService remote) { return RuxUpdate(remote, 0, item); });
        RuxReleaseItem(item);
        return sent;
    };
    // In order, and all there, without waiting on the event: the last one
    // alone in the queue.
    RuxItem call = nullptr;
    auto popStatus = [&] {
        RuxItem status = nullptr;
        int32_t value = -1;
        if (RuxPopCall(service, &call) == RuxResult_Update && RuxGetAssoc(call, "Status", &status) == 0)
            RuxGetInt(status, &value);
        return value;
    };
    const int count = 10;
    for (int i = 0; i < count; ++i)
        ASSERT_TRUE(send(i));
    for (int i = 0; i < count; ++i)
        EXPECT_EQ(popStatus(), i);
    ASSERT_TRUE(send(count));
    EXPECT_EQ(popStatus(), count);
    EXPECT_EQ(RuxPopCall(service, &call), RuxResult_Empty);
    RuxReleaseItem(wide);
    RuxReleaseItem(flag);
}

TEST(RuxMessaging, OneConnectionCarriesSeveralServicesEachInOrder)
{
    LibraryUse use;
    TraceCollector trace;
    std::string name = UniqueName("services");
    ServedSink served(name, "A");
    auto [eventA, sink, a] = served.Handles();
    UniqueEvent eventB(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    RuxService b = served.AddService("B", eventB.get());
    RuxConnection connection = RuxOpenConnection(name.c_str());
    // The first open also greets the sink: a service it lacks fails it, and
    // the connection serves the next open.
    EXPECT_EQ(RuxOpenService(connection, "C"), nullptr);
    RuxService toA = RuxOpenService(connection, "A");
    RuxService toB = RuxOpenService(connection, "B");
    ASSERT_TRUE(toA && toB);
    auto send = [](RuxService service, const std::string& text) {
        RuxItem item = RuxBuildItem("s", text.c_str());
        bool sent = RuxCall(service, 0, item, 0) != 0;
        RuxReleaseItem(item);
        return sent;
    };
    auto pop = [](RuxService service, HANDLE event) {
        RuxItem call = nullptr;
        return PopWithin(service, event, &call) == RuxResult_Call ? ItemText(call) : std::string("<none>");
    };
    auto text = [](char service, int i) { return std::string(1, service) + std::to_string(i); };
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(send(toA, text('a', i)));
        ASSERT_TRUE(send(toB, text('b', i)));
    }
    // A request on the same connection is answered while neither service pops.
    RuxService again = RuxOpenService(connection, "B");
    EXPECT_NE(again, nullptr);
    RuxCloseService(again);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(pop(a, eventA), '"' + text('a', i) + '"');
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(pop(b, eventB.get()), '"' + text('b', i) + '"');

    // A stopped service's messages are dropped; the connection goes on.
    RuxStopService(a);
    ASSERT_TRUE(send(toA, "to nobody"));
    ASSERT_TRUE(send(toB, "after"));
    EXPECT_EQ(pop(b, eventB.get()), "\"after\"");
    EXPECT_EQ(trace.Count("dropped a call for a service that is not running"), 1u);
    EXPECT_EQ(RuxIsConnected(connection), 1);
    RuxCloseService(toA);
    RuxCloseService(toB);
    RuxCloseConnection(connection);
}

using RuxOwnership = OneSinkTest;

TEST_F(RuxOwnership, PluginReleasePatternKeepsPrivateBytesStableOver100000Calls)
{
    RemoteService opened(name);
    RuxService remote = opened.get();
    ASSERT_NE(remote, nullptr);
    RuxItem proc = RuxBuildItem("s", "ApplySBSetting");
    RuxItem arg = RuxBuildItem("{s:b,s:b}", "EnableScanSpy", 1, "EnableVirtual", 0);
    RuxItem cookie = RuxBuildItem("i", 1);

    SIZE_T warm = 0;
    const int batch = 1000;
    for (int round = 0; round < 100; ++round) {
        if (round == 10)
            warm = PrivateBytes();
        for (int i = 0; i < batch; ++i)
            ASSERT_NE(RuxQuery(remote, 0, proc, arg, cookie, name.c_str(), "SB"), 0);
        for (int i = 0; i < batch; ++i) {
            RuxItem call = nullptr;
            ASSERT_EQ(PopWithin(service, event, &call), RuxResult_Query);
            // As the plug-in does: "proc", "service", "source" and "cookie" are
            // read and never released; "arg" and what is read from it are.
            RuxItem members[4] = {};
            const char* names[4] = {"proc", "service", "source", "cookie"};
            for (int m = 0; m < 4; ++m)
                ASSERT_EQ(RuxGetAssoc(call, names[m], &members[m]), 0);
            RuxItem argument = nullptr;
            ASSERT_EQ(RuxGetAssoc(call, "arg", &argument), 0);
            uint16_t count = 0;
            RuxGetLen(argument, &count);
            for (uint16_t k = 0; k < count; ++k) {
                RuxItem key = nullptr, value = nullptr;
                RuxGetNthKey(argument, k, &key);
                RuxGetAt(argument, key, &value);
                RuxReleaseItem(key);
                RuxReleaseItem(value);
            }
            RuxReleaseItem(argument);
        }
        RuxItem call = nullptr;
        ASSERT_EQ(RuxPopCall(service, &call), RuxResult_Empty);
    }
    SIZE_T done = PrivateBytes();
    EXPECT_LT(done, warm + 512 * 1024) << "private bytes grew from " << warm << " to " << done;
    for (RuxItem item : {proc, arg, cookie})
        RuxReleaseItem(item);
}
