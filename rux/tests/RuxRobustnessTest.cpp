// What a hostile or broken client can write into a sink's pipe, and what the
// pipe admits.
#include "rux/item/ItemNode.h"
#include "rux/tests/RuxTestSupport.h"

#include <gtest/gtest.h>

#include <aclapi.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

using namespace ruxtest;

using RuxRobustness = OneSinkTest;

TEST_F(RuxRobustness, GarbageFramesAreDroppedAndTheConnectionGoesOn)
{
    TraceCollector trace;
    RawClient client(name);
    ASSERT_TRUE(client.Open());
    ASSERT_TRUE(client.Hello());
    uint32_t id = client.ServiceId("SB");
    ASSERT_NE(id, 0u);

    std::string deep;
    for (int i = 0; i < 1000; ++i)
        deep += std::string(1, char(14)) + U32(1) + StringItem("k");
    deep += std::string{char(3), 1};
    std::string garbage[] = {
        "x",                                                      // shorter than a header
        std::string(16, '\0'),                                    // no magic
        RawFrame(16, id, StringItem("abc"), 99),                  // length does not match
        RawFrame(16, id, StringItem("abc").substr(0, 6)),         // truncated item
        RawFrame(16, id, StringItem("abc") + "!"),                // trailing byte
        RawFrame(16, id, std::string(1, char(14)) + U32(0x7FFFFFFF)),  // member count far above the data
        RawFrame(16, id, std::string(1, char(9)) + U32(0xFFFFFFF0) + "x"),  // string length above the data
        RawFrame(16, id, std::string(1, char(14)) + U32(1) + std::string{char(3), 1} + std::string{char(3), 1}),
        RawFrame(16, id, std::string(1, char(14)) + U32(2) + StringItem("k") + std::string{char(3), 1} +
                             StringItem("k") + std::string{char(3), 0}),  // a key repeated
        RawFrame(16, id, std::string{char(3), 5}),                // bool that is neither 0 nor 1
        RawFrame(16, id, std::string{char(77), 0}),               // unknown type
        RawFrame(16, id, deep),                                   // nesting far too deep
        RawFrame(99, id, StringItem("abc")),                      // unknown kind
        RawFrame(16, id + 100, StringItem("abc")),                // no such service
        RawFrame(16, id, std::string(1 << 20, 'x')),              // above the size limit
    };
    for (const auto& frame : garbage) {
        SCOPED_TRACE(frame.size());
        ASSERT_TRUE(client.Write(frame));
        // Still served: a ping on the same connection is answered.
        ASSERT_EQ(client.Ask(4, ""), 0);
    }
    RuxItem call = nullptr;
    EXPECT_EQ(RuxPopCall(service, &call), RuxResult_Empty);
    EXPECT_EQ(trace.Count("dropped"), std::size(garbage));

    // A good frame after all that is delivered.
    ASSERT_TRUE(client.Write(RawFrame(16, id, StringItem("ShutDownSB"))));
    ASSERT_EQ(client.Ask(3, ""), 0);
    ASSERT_EQ(RuxPopCall(service, &call), RuxResult_Call);
    EXPECT_EQ(ItemText(call), "\"ShutDownSB\"");

    // A malformed request is refused with a status, not dropped silently.
    EXPECT_NE(client.Ask(1, ""), 0);
    EXPECT_NE(client.Ask(2, "NoSuchService"), 0);
}

// A connection is served only after a Hello or a well-formed Open: nothing
// else, and no malformed Open, lets a client skip the greeting.
TEST_F(RuxRobustness, OnlyAHelloOrAWellFormedOpenGreetsTheSink)
{
    TraceCollector trace;
    ASSERT_NE(service, nullptr);
    auto open = [](uint8_t count, size_t numbers, const std::string& name) {
        std::string body = U32(7) + U32(0) + std::string(1, char(count));
        return RawFrame(5, 0, body + std::string(8 * numbers, '\0') + name);
    };
    const struct {
        const char* what;
        std::string greeting;
        bool answered;  // a request, answered even when it greets nothing
        bool greets;
    } rows[] = {
        {"a message", RawFrame(16, 1, StringItem("first")), false, false},
        {"an Open cut short", RawFrame(5, 0, std::string(8, '\0')), true, false},
        {"an Open naming 17 connections", open(17, 17, "SB"), true, false},
        {"an Open naming 16 connections", open(16, 16, "SB"), true, true},
        {"an Open missing its numbers", open(2, 1, ""), true, false},
        {"an Open with a name above 128 bytes", open(0, 0, std::string(129, 'S')), true, false},
        {"an Open with a name of 128 bytes", open(0, 0, std::string(128, 'S')), true, true},
        {"an Open", open(0, 0, "SB"), true, true},
        {"an Open of no service", open(1, 1, ""), true, true},
        {"a Hello", RawFrame(1, 0, std::string(1, '\0')), true, true},
        {"a Hello of role 2", RawFrame(1, 0, "\2"), true, false},
        // Its name only goes into a trace line, cut at 128 bytes.
        {"a peer's Hello with a name above 128 bytes", RawFrame(1, 0, '\1' + std::string(129, 'p')), true, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        RawClient client(name);
        ASSERT_TRUE(client.Write(row.greeting));
        if (row.answered) {
            EXPECT_FALSE(client.Read().empty());
        }
        // The first service's id is 1. A sink that refuses the greeting may
        // have closed the pipe already, so this write may fail then.
        bool written = client.Write(RawFrame(16, 1, StringItem(row.what)));
        if (row.greets) {
            ASSERT_TRUE(written);
            RuxItem call = nullptr;
            ASSERT_EQ(PopWithin(service, event, &call), RuxResult_Call);
            EXPECT_EQ(ItemText(call), '"' + std::string(row.what) + '"');
        } else {
            EXPECT_TRUE(client.ClosedBySink(5000));
        }
    }
    RuxItem call = nullptr;
    EXPECT_EQ(RuxPopCall(service, &call), RuxResult_Empty);
    EXPECT_EQ(trace.Count("peer '" + std::string(128, 'p') + "' connected"), 1u);
}

// A frame holds at most RuxMaxFrameBytes: a blob call has a header of 16
// bytes, a type byte and a length of 4 around the blob's bytes.
TEST_F(RuxRobustness, OversizedSendIsRefusedByTheSender)
{
    RemoteService opened(name);
    RuxService remote = opened.get();
    ASSERT_NE(remote, nullptr);
    std::string big(RuxMaxFrameBytes + 1, 'b');
    EXPECT_EQ(RuxBuildBlob(big.data(), RuxMaxFrameBytes + 1), nullptr);
    const uint32_t largest = RuxMaxFrameBytes - 21;
    for (uint32_t size : {largest, largest + 1, RuxMaxFrameBytes}) {
        SCOPED_TRACE(size);
        RuxItem blob = RuxBuildBlob(big.data(), size);
        ASSERT_NE(blob, nullptr);
        EXPECT_EQ(RuxCall(remote, 0, blob, 0) != 0, size == largest);
        RuxReleaseItem(blob);
    }
    RuxItem call = nullptr;
    ASSERT_EQ(PopWithin(service, event, &call), RuxResult_Call);
    uint16_t length = 0;
    EXPECT_NE(RuxCopyBlob(call, nullptr, &length, 0xFFFF), 0);  // too big for a uint16 copy
    EXPECT_EQ(RuxPopCall(service, &call), RuxResult_Empty);
}

// RuxReply and RuxQuery put the caller's item one level deeper. One already as
// deep as items may be used to go out in a frame that every receiver dropped
// as malformed.
TEST_F(RuxRobustness, ItemsTooDeepToWrapAreRefusedByTheSender)
{
    RemoteService opened(name);
    RuxService remote = opened.get();
    ASSERT_NE(remote, nullptr);
    // A bool inside lists, `depth` levels in all.
    auto nested = [](int depth) {
        RuxItem item = RuxBuildItem("{s:b}", "k", 1);
        for (int level = 2; level < depth; ++level) {
            RuxItem outer = RuxBuildItem("{}");
            EXPECT_NE(RuxAssocSet(outer, "k", item), 0);
            RuxReleaseItem(item);
            item = outer;
        }
        return item;
    };
    RuxItem proc = RuxBuildItem("s", "p");
    RuxItem cookie = RuxBuildItem("i", 1);
    for (int depth : {rux::MaxItemDepth - 1, rux::MaxItemDepth}) {
        bool fits = depth < rux::MaxItemDepth;
        for (bool reply : {true, false}) {
            SCOPED_TRACE((reply ? "reply of depth " : "query of depth ") + std::to_string(depth));
            RuxItem item = nested(depth);
            SetLastError(0);
            int32_t sent = reply ? RuxReply(remote, 0, proc, cookie, item)
                                 : RuxQuery(remote, 0, proc, item, cookie, name.c_str(), "SB");
            EXPECT_EQ(sent != 0, fits);
            if (!fits) {
                EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
            }
            RuxReleaseItem(item);
            // A call behind it: what was sent is popped before it.
            RuxItem marker = RuxBuildItem("s", "marker");
            ASSERT_NE(RuxCall(remote, 0, marker, 0), 0);
            RuxReleaseItem(marker);
            RuxItem popped = nullptr;
            if (fits) {
                EXPECT_EQ(PopWithin(service, event, &popped), reply ? RuxResult_Reply : RuxResult_Query);
            }
            EXPECT_EQ(PopWithin(service, event, &popped), RuxResult_Call);
        }
    }
    RuxReleaseItem(proc);
    RuxReleaseItem(cookie);
}

TEST(RuxSecurity, PipeDaclAdmitsOnlyTheUserAndSystem)
{
    LibraryUse use;
    std::string name = UniqueName("dacl");
    OwnedSink sink(RuxStartSink(name.c_str(), nullptr));
    ASSERT_TRUE(sink.valid());
    UniquePipe pipe = OpenSinkPipe(name, GENERIC_READ | READ_CONTROL, 0);
    ASSERT_TRUE(pipe.valid());
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetSecurityInfo(pipe.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &descriptor),
              ERROR_SUCCESS);
    std::unique_ptr<void, decltype(&LocalFree)> ownedDescriptor(descriptor, &LocalFree);
    ASSERT_NE(dacl, nullptr);

    std::vector<uint8_t> user = ProcessUserSid();
    ASSERT_FALSE(user.empty());
    unsigned char systemBuffer[SECURITY_MAX_SID_SIZE];
    DWORD systemSize = sizeof systemBuffer;
    ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, systemBuffer, &systemSize));

    ASSERT_EQ(dacl->AceCount, 2);
    bool sawUser = false, sawSystem = false;
    for (WORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
        ASSERT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        PSID sid = &ace->SidStart;
        sawUser |= EqualSid(sid, user.data()) != 0;
        sawSystem |= EqualSid(sid, systemBuffer) != 0;
    }
    EXPECT_TRUE(sawUser);
    EXPECT_TRUE(sawSystem);
}

namespace {

// An associative item of `count` members, each `key(i)` with a bool or an
// int32 value, as the wire carries it.
template <class Key>
std::string WideAssoc(uint32_t count, Key key, bool intValues)
{
    std::string item(1, char(14));
    item += U32(count);
    for (uint32_t i = 0; i < count; ++i) {
        item += StringItem(key(i));
        if (intValues) {
            item += char(4);
            item += U32(i);
        } else {
            item += char(3);
            item += char(i & 1);
        }
    }
    return item;
}

}  // namespace

TEST_F(RuxRobustness, FloodsOfDecodedBytesStayWithinTheirBudgetsAndCloseTheirConnections)
{
    const struct {
        const char* what;
        std::string item;
        int frames;
        int queued;          // the rest are dropped, each closing its connection
        const char* traced;  // the line of each dropped frame
    } cases[] = {
        // 458,750 bytes: 65,535 members of an empty key and a bool, which
        // once decoded to 13.6 MB each, 200 of them queued on one service.
        {"amplifying frame", WideAssoc(65535, [](uint32_t) { return std::string(); }, false), 200, 0,
         "that decodes to more than"},
        // About 1 MB, under the item bound, a fifth of the queue budget.
        {"wide frames", WideAssoc(40000, [](uint32_t i) { return std::to_string(1000000000000000 + i); }, true),
         20, 4, "queue budget of"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TraceCollector trace;
        SIZE_T before = PrivateBytes();
        std::unique_ptr<RawClient> client;
        uint32_t id = 0;
        int closed = 0;
        for (int i = 0; i < c.frames; ++i) {
            if (!client) {
                // The flooder comes back each time it was cut off.
                client = std::make_unique<RawClient>(name);
                ASSERT_TRUE(client->Hello());
                id = client->ServiceId("SB");
            }
            client->Write(RawFrame(16, id, c.item));
            if (client->Ask(4, "") != 0) {
                ++closed;
                client.reset();
            }
        }
        SIZE_T after = PrivateBytes();
        SIZE_T grown = after > before ? after - before : 0;
        int queued = 0;
        RuxItem call = nullptr;
        while (RuxPopCall(service, &call) == RuxResult_Call)
            ++queued;
        EXPECT_EQ(queued, c.queued);
        EXPECT_EQ(closed, c.frames - c.queued);
        EXPECT_EQ(trace.Count(c.traced), static_cast<size_t>(closed));
        EXPECT_LT(grown, SIZE_T(128) << 20) << "private bytes grew by " << grown;
        // The sink still serves a genuine client.
        EXPECT_TRUE(CallOnce(name, "RequestSBSetting"));
        ASSERT_EQ(RuxPopCall(service, &call), RuxResult_Call);
        EXPECT_EQ(ItemText(call), "\"RequestSBSetting\"");
    }
}

TEST_F(RuxRobustness, WideSettingsListIsWalkedByKeyInLinearTime)
{
    RemoteService opened(name);
    RuxService remote = opened.get();
    ASSERT_NE(remote, nullptr);
    const uint16_t count = 65535;
    auto key = [](int i) { return std::to_string(100000 + i); };
    RuxItem arg = RuxBuildItem("{}");
    for (int i = 0; i < count; ++i) {
        RuxItem flag = RuxBuildItem("b", i & 1);
        ASSERT_NE(RuxAssocSet(arg, key(i).c_str(), flag), 0);
        RuxReleaseItem(flag);
    }
    ASSERT_NE(RuxCall(remote, 0, arg, 0), 0);
    RuxReleaseItem(arg);
    RuxItem call = nullptr;
    ASSERT_EQ(PopWithin(service, event, &call), RuxResult_Call);

    // As the plug-in walks an "ApplySBSetting" argument, under its lock.
    // Each look-up by key once scanned the list: 14 s for this item.
    ULONGLONG start = GetTickCount64();
    uint16_t length = 0;
    ASSERT_EQ(RuxGetLen(call, &length), 0);
    ASSERT_EQ(length, count);
    int wrong = 0;
    // The keys stay held until the end and go newest first: the handles read
    // out of one item must neither grow nor shrink their list one by one.
    std::vector<RuxItem> names(length);
    for (uint16_t i = 0; i < length; ++i) {
        RuxItem value = nullptr;
        int32_t flag = -1;
        char text[16] = {};
        if (RuxGetNthKey(call, i, &names[i]) != 0 || RuxGetAt(call, names[i], &value) != 0 ||
            RuxGetBool(value, &flag) != 0 || RuxCopyStr(names[i], text, 0, sizeof text) != 0 || flag != (i & 1) ||
            text != key(i))
            ++wrong;
        RuxReleaseItem(value);
    }
    for (size_t i = names.size(); i-- > 0;)
        RuxReleaseItem(names[i]);
    ULONGLONG took = GetTickCount64() - start;
    EXPECT_EQ(wrong, 0);
    // A bound only to fail fast: the walk takes well under a second.
    EXPECT_LT(took, 5000u);
}

TEST(RuxAdmission, IdleConnectionsLeaveRoomForTheOwnerAndOtherProcessesAndAreClosed)
{
    LibraryUse use;
    TraceCollector trace;
    std::string name = UniqueName("idle");
    ServedSink served(name);
    auto [event, sink, service] = served.Handles();
    ASSERT_NE(service, nullptr);

    // Anything before the Hello ends the connection at once.
    RawClient early(name);
    ASSERT_TRUE(early.Write(RawFrame(4, 0, "")));
    EXPECT_TRUE(early.ClosedBySink(5000));

    // Another process opens every instance there is and never says a word.
    ChildProcess idle({"Idle", name, "64"});
    ASSERT_TRUE(idle.WaitReady(30000));
    RuxConnection own = RuxOpenConnection(name.c_str());
    EXPECT_NE(own, nullptr) << "the sink's own process was locked out";
    RuxCloseConnection(own);
    ChildProcess other({"Call", name, "from another process"});
    EXPECT_EQ(other.Wait(20000), 0u) << "another process was locked out";
    RuxItem call = nullptr;
    ASSERT_EQ(PopWithin(service, event, &call), RuxResult_Call);
    EXPECT_EQ(ItemText(call), "\"from another process\"");

    // The idle ones are refused beyond the process's share, and the others
    // closed when no Hello came in time: the child sees every one closed.
    // Of the 48 refusals, 16 are traced and the rest counted, so that a flood
    // of refused clients cannot flood the log.
    EXPECT_EQ(idle.Wait(40000), 0u);
    EXPECT_EQ(trace.Count("no hello from process"), 16u);
    EXPECT_EQ(trace.Count("refused a client of process"), 16u);
}

namespace {

// The exit code of a "Greeted" child: the Hellos the sink answered, and how
// many of those connections it had closed when the child was told to quit.
DWORD Greeted(DWORD answered, DWORD closed)
{
    return answered * 100 + closed;
}

}  // namespace

// The shares of the sink, at, below and above each limit: 16 connections for
// one process, 60 for all processes but the sink's own. Four processes that
// held 16 greeted, idle connections each (or three, and a fourth the rest)
// once kept every other process out: a fifth asking "RequestSBSetting" saw
// "cannot reach SB". A process that holds no connection now always gets in:
// the longest-idle connection of a process that holds the most makes room.
TEST(RuxAdmission, SharesAreExactAndANewcomerAlwaysGetsIn)
{
    LibraryUse use;
    for (DWORD asked : {DWORD(15), DWORD(16), DWORD(17)}) {
        SCOPED_TRACE("one process asking for " + std::to_string(asked));
        std::string name = UniqueName("share");
        ServedSink served(name);
        ChildProcess holder({"Greeted", name, std::to_string(asked)});
        ASSERT_TRUE(holder.WaitReady(30000));
        EXPECT_EQ(holder.Quit(20000), Greeted(std::min<DWORD>(asked, 16), 0));
    }
    for (DWORD fourth : {DWORD(11), DWORD(12), DWORD(13)}) {
        SCOPED_TRACE("three holders of 16, a fourth asking for " + std::to_string(fourth));
        TraceCollector trace;
        std::string name = UniqueName("lockout");
        ServedSink served(name);
        auto [event, sink, service] = served.Handles();
        ASSERT_NE(service, nullptr);
        std::vector<std::unique_ptr<ChildProcess>> holders;
        for (DWORD asked : {DWORD(16), DWORD(16), DWORD(16), fourth}) {
            holders.push_back(std::make_unique<ChildProcess>(
                std::vector<std::string>{"Greeted", name, std::to_string(asked)}));
            ASSERT_TRUE(holders.back()->WaitReady(30000));
        }
        // 59 held: the newcomer finds room. 60: the first holder's first
        // connection, idle the longest, is closed for it.
        bool full = fourth >= 12;
        ChildProcess newcomer({"Call", name, "RequestSBSetting"});
        EXPECT_EQ(newcomer.Wait(20000), 0u) << "the newcomer was kept out";
        RuxItem call = nullptr;
        ASSERT_EQ(PopWithin(service, event, &call), RuxResult_Call);
        EXPECT_EQ(ItemText(call), "\"RequestSBSetting\"");
        std::string evicted = "closed the longest-idle connection of process " + std::to_string(holders[0]->Id()) +
                              ", which held 16, to let in process " + std::to_string(newcomer.Id());
        if (full) {
            EXPECT_TRUE(trace.WaitFor(evicted)) << evicted;
        }
        const DWORD expected[] = {Greeted(16, full ? 1 : 0), Greeted(16, 0), Greeted(16, 0),
                                  Greeted(std::min<DWORD>(fourth, 12), 0)};
        for (size_t i = 0; i < holders.size(); ++i)
            EXPECT_EQ(holders[i]->Quit(20000), expected[i]) << "holder " << i + 1;
        EXPECT_EQ(trace.Count("closed the longest-idle connection"), full ? 1u : 0u);
    }
}
