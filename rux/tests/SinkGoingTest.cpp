// A sink that stops tells each client it serves that it is going, and our
// clients close their ends at once, also while idle: on Windows a pipe's name
// lives on while any client end of it is open, and the sink could not start
// again under it. (Wine drops the name with the last server handle, so the
// close is checked from the server's end.)
#include "rux/client/Connection.h"
#include "rux/sink/Sink.h"
#include "rux/tests/RawClient.h"
#include "rux/wire/Frame.h"
#include "rux/wire/SinkName.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

using namespace rux;

namespace {

// One overlapped read or write on a server end, bounded; false when it did
// not end well within `timeoutMs` (`error` then says why).
bool Transfer(HANDLE pipe, bool write, std::string& data, DWORD timeoutMs, DWORD& error)
{
    UniqueEvent event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    char buffer[256];
    DWORD done = 0;
    bool ok = write ? ruxtest::Transfer(pipe, event.get(), true, data.data(), static_cast<DWORD>(data.size()),
                                        timeoutMs, done, error)
                    : ruxtest::Transfer(pipe, event.get(), false, buffer, sizeof buffer, timeoutMs, done, error);
    if (ok && !write)
        data.assign(buffer, done);
    return ok;
}

}  // namespace

// The sink says Going to a client that is idle, and to one that waits for an
// answer (which gets Going instead of its Ack). Either way the client's end
// must close at once, not when the application next uses or closes it.
TEST(SinkGoing, OurClientClosesItsEndWhenItsSinkSaysItIsGoing)
{
    for (bool asking : {false, true}) {
        SCOPED_TRACE(asking ? "waiting for an answer" : "idle");
        std::string name = ruxtest::UniqueName("going");
        UniquePipe pipe = ruxtest::CreateOwnedPipe(SinkName::PipePath(name), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1);
        ASSERT_TRUE(pipe.valid());
        HANDLE server = pipe.get();
        DWORD error = 0;
        // The server is this process: our connection trusts it.
        auto connection = Connection::Open(name, false, std::string(), error);
        ASSERT_NE(connection, nullptr) << error;
        std::jthread asker;  // joined also when an assertion ends the case
        bool answered = false;
        if (asking) {
            asker = std::jthread([&] {
                int32_t status = 0;
                uint32_t id = 0;
                answered = connection->OpenService("SB", status, id);
            });
            std::string request;
            ASSERT_TRUE(Transfer(server, false, request, 5000, error)) << error;
        }
        std::string going = Frame::MakeGoing();
        ASSERT_TRUE(Transfer(server, true, going, 5000, error)) << error;
        // Nothing more comes: the read ends when the client's end closes.
        std::string more;
        EXPECT_FALSE(Transfer(server, false, more, 5000, error)) << more.size() << " bytes came";
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_BROKEN_PIPE));
        if (asker.joinable())
            asker.join();
        EXPECT_FALSE(answered) << "Going taken for an answer";
        EXPECT_TRUE(connection->Broken());
        connection->Close();
    }
}

// What a stopping sink says: Going, to a client it serves, before it lets go.
TEST(SinkGoing, AStoppingSinkSaysGoingToTheClientsItServes)
{
    std::string name = ruxtest::UniqueName("stop");
    DWORD error = 0;
    auto sink = Sink::Start(name, nullptr, error);
    ASSERT_NE(sink, nullptr) << error;
    ruxtest::RawClient client(name);
    ASSERT_TRUE(client.Hello());
    std::thread stopper([&] { sink->Stop(); });
    EXPECT_EQ(client.Read(), Frame::MakeGoing());
    EXPECT_TRUE(client.ClosedBySink(5000));
    stopper.join();
}
