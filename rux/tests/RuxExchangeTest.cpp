// The calls a privileged process uses to answer a caller: who sent a popped
// message, and a connection for one exchange that a stalling sink cannot hold
// longer than its deadline or its owner's cancel.
#include "rux/tests/RawClient.h"
#include "rux/tests/RuxTestSupport.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <thread>

using namespace ruxtest;

namespace {

// A raw server of a sink's name with one instance: takes one client and
// writes it a byte every `dripMs` (0: nothing) until it goes or the server
// stops. Its pipe is owned by this process's user, as any process of a user
// may own its objects, so that a client trusts it as a server of that user.
class StallingServer {
public:
    StallingServer(const std::string& sink, DWORD dripMs)
        : path_(L"\\\\.\\pipe\\Rux.Sink." + std::wstring(sink.begin(), sink.end())),
          stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          pipe_(CreateOwnedPipe(path_, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1)),
          thread_([this, dripMs] {
              if (!ConnectNamedPipe(pipe_.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED)
                  return;
              DWORD written = 0;
              while (WaitForSingleObject(stop_.get(), dripMs ? dripMs : INFINITE) == WAIT_TIMEOUT &&
                     WriteFile(pipe_.get(), "x", 1, &written, nullptr)) {
              }
          })
    {
    }
    ~StallingServer()
    {
        SetEvent(stop_.get());
        // A server still waiting for its client is released by one.
        UniquePipe unblock(CreateFileW(path_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        thread_.join();
    }
    StallingServer(const StallingServer&) = delete;
    StallingServer& operator=(const StallingServer&) = delete;

    // True once the client has written its request (which the server never
    // reads): from then on the client waits for the answer.
    bool Asked() const
    {
        DWORD available = 0;
        return PeekNamedPipe(pipe_.get(), nullptr, 0, nullptr, &available, nullptr) && available > 0;
    }

private:
    std::wstring path_;
    UniqueEvent stop_;
    UniquePipe pipe_;
    std::thread thread_;
};

}  // namespace

// The sink reads who each client is as it admits it, and every message of
// that connection carries it: the process, the session and the user, also of
// a client its session alone would admit.
TEST(RuxCallSender, EachPoppedMessageNamesTheProcessThatSentIt)
{
    LibraryUse use;
    std::string name = UniqueName("sender");
    ServedSink served(name);
    auto [event, sink, service] = served.Handles();
    RuxCallSender sender{};
    EXPECT_NE(RuxGetCallSender(service, &sender), 0) << "nothing popped yet";

    ChildProcess child({"Call", name, "from-child"});
    ASSERT_TRUE(child.Started());
    DWORD childId = child.Id();
    ASSERT_EQ(child.Wait(), 0u);
    ASSERT_TRUE(CallOnce(name, "from-us"));

    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    std::vector<uint8_t> user = ProcessUserSid();
    for (DWORD process : {childId, GetCurrentProcessId()}) {
        RuxItem call = nullptr;
        ASSERT_EQ(PopWithin(service, event, &call), RuxResult_Call);
        ASSERT_EQ(RuxGetCallSender(service, &sender), 0);
        EXPECT_EQ(sender.process, process);
        EXPECT_EQ(sender.session, session);
        EXPECT_EQ(std::vector<uint8_t>(sender.user, sender.user + sender.userBytes), user);
    }
    RuxItem none = nullptr;
    EXPECT_EQ(RuxPopCall(service, &none), RuxResult_Empty);
    EXPECT_NE(RuxGetCallSender(service, &sender), 0) << "the queue was found empty";
}

// A sink that answers a byte at a time, or not at all, used to hold each read
// of an exchange for a time-out of its own: an answer dripped every 4 s held
// one exchange for minutes. An exchange connection has one deadline for the
// whole of it, and its cancel event ends whatever step waits.
TEST(RuxExchange, StallingSinkCostsOneDeadlineOrTheCancel)
{
    LibraryUse use;
    UniqueEvent owned(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    HANDLE cancel = owned.get();
    struct Row {
        const char* what;
        DWORD dripMs;
        uint32_t deadlineMs;
        bool cancelled;
        DWORD error;
    };
    const Row rows[] = {
        {"an answer dripped every 250 ms", 250, 500, false, ERROR_TIMEOUT},
        {"no answer, the exchange cancelled", 0, 60000, true, ERROR_CANCELLED},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::string name = UniqueName("stall");
        StallingServer server(name, row.dripMs);
        ResetEvent(cancel);
        RuxExchange exchange{row.deadlineMs, cancel, nullptr};
        ULONGLONG start = GetTickCount64();
        RuxConnection connection = RuxOpenExchange(name.c_str(), &exchange);
        ASSERT_NE(connection, nullptr) << GetLastError();
        // Cancelled once the request is out, while the answer is awaited.
        std::jthread canceller;
        if (row.cancelled)
            canceller = std::jthread([&server, cancel] {
                testsupport::WaitUntil([&] { return server.Asked(); });
                SetEvent(cancel);
            });
        EXPECT_EQ(RuxOpenService(connection, "SB"), nullptr);
        EXPECT_EQ(GetLastError(), row.error);
        ULONGLONG took = GetTickCount64() - start;
        if (canceller.joinable())
            canceller.join();
        // Dripped, the whole answer would take 6 s; unanswered, the deadline
        // is a minute.
        EXPECT_LT(took, 3000u);
        RuxCloseConnection(connection);
        // Nothing goes out on it afterwards, and no later connect either.
        RuxExchange late{row.deadlineMs, cancel, nullptr};
        if (row.cancelled) {
            EXPECT_EQ(RuxOpenExchange(name.c_str(), &late), nullptr);
        }
    }
}
