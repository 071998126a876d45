// What a hostile or broken client can write into a sink's pipe, and what the
// pipe admits.
#include "rux/tests/RuxTestSupport.h"

#include <gtest/gtest.h>

#include <aclapi.h>

#include <cstring>

using namespace ruxtest;

TEST(RuxRobustness, GarbageFramesAreDroppedAndTheConnectionGoesOn)
{
    LibraryUse use;
    TraceCollector trace;
    std::string name = UniqueName("garbage");
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    RuxSink sink = RuxStartSink(name.c_str(), nullptr);
    RuxService service = RuxStartService(sink, "SB", event);
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
    EXPECT_GE(trace.Count("dropped"), std::size(garbage) - 0);

    // A good frame after all that is delivered.
    ASSERT_TRUE(client.Write(RawFrame(16, id, StringItem("ShutDownSB"))));
    ASSERT_EQ(client.Ask(3, ""), 0);
    ASSERT_EQ(RuxPopCall(service, &call), RuxResult_Call);
    EXPECT_EQ(ItemText(call), "\"ShutDownSB\"");

    // A malformed request is refused with a status, not dropped silently.
    EXPECT_NE(client.Ask(1, ""), 0);
    EXPECT_NE(client.Ask(2, "NoSuchService"), 0);
    RuxStopService(service);
    RuxStopSink(sink);
    CloseHandle(event);
}

TEST(RuxRobustness, OversizedSendIsRefusedByTheSender)
{
    LibraryUse use;
    std::string name = UniqueName("oversized");
    RuxSink sink = RuxStartSink(name.c_str(), nullptr);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    RuxService service = RuxStartService(sink, "SB", event);
    RuxConnection connection = RuxOpenConnection(name.c_str());
    RuxService remote = RuxOpenService(connection, "SB");
    std::string big(RuxMaxFrameBytes, 'b');
    RuxItem blob = RuxBuildBlob(big.data(), static_cast<uint32_t>(big.size()));
    ASSERT_NE(blob, nullptr);
    EXPECT_EQ(RuxCall(remote, 0, blob, 0), 0);
    RuxReleaseItem(blob);
    // Just below the limit goes through (header 16 + type 1 + length 4).
    blob = RuxBuildBlob(big.data(), RuxMaxFrameBytes - 21);
    EXPECT_NE(RuxCall(remote, 0, blob, 0), 0);
    RuxReleaseItem(blob);
    RuxCloseService(remote);
    RuxCloseConnection(connection);
    RuxItem call = nullptr;
    ASSERT_EQ(RuxPopCall(service, &call), RuxResult_Call);
    uint16_t length = 0;
    EXPECT_NE(RuxCopyBlob(call, nullptr, &length, 0xFFFF), 0);  // too big for a uint16 copy
    RuxStopService(service);
    RuxStopSink(sink);
    CloseHandle(event);
}

TEST(RuxSecurity, PipeDaclAdmitsOnlyTheUserAndSystem)
{
    LibraryUse use;
    std::string name = UniqueName("dacl");
    RuxSink sink = RuxStartSink(name.c_str(), nullptr);
    ASSERT_NE(sink, nullptr);
    std::wstring path = L"\\\\.\\pipe\\Rux.Sink." + std::wstring(name.begin(), name.end());
    HANDLE pipe = CreateFileW(path.c_str(), GENERIC_READ | READ_CONTROL, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetSecurityInfo(pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                              &descriptor),
              ERROR_SUCCESS);
    ASSERT_NE(dacl, nullptr);

    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    unsigned char userBuffer[256];
    DWORD size = 0;
    ASSERT_TRUE(GetTokenInformation(token, TokenUser, userBuffer, sizeof userBuffer, &size));
    CloseHandle(token);
    PSID user = reinterpret_cast<TOKEN_USER*>(userBuffer)->User.Sid;
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
        sawUser |= EqualSid(sid, user) != 0;
        sawSystem |= EqualSid(sid, systemBuffer) != 0;
    }
    EXPECT_TRUE(sawUser);
    EXPECT_TRUE(sawSystem);
    LocalFree(descriptor);
    CloseHandle(pipe);
    RuxStopSink(sink);
}
