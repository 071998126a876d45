// The server end of one client's connection to a sink: a thread that reads the
// client's frames, answers requests and queues messages on the sink's services.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

namespace rux {

class Sink;

class SinkConnection {
public:
    // Takes ownership of the connected pipe instance.
    SinkConnection(Sink& sink, HANDLE pipe);
    // Joins the thread: the sink's stop event must be set, or the client gone.
    ~SinkConnection();
    SinkConnection(const SinkConnection&) = delete;
    SinkConnection& operator=(const SinkConnection&) = delete;

    bool Start();
    bool Done() const { return done_.load(); }

private:
    void Run();
    // False when the connection must end (an answer could not be written).
    bool Handle(const unsigned char* data, size_t size);
    bool SendAck(int32_t status, uint32_t value);

    Sink& sink_;
    HANDLE pipe_;
    HANDLE readEvent_;
    HANDLE writeEvent_;
    DWORD clientProcess_ = 0;
    std::string source_;  // the sink name a peer gave in its Hello
    std::atomic<bool> done_{false};
    std::thread thread_;  // last: it uses everything above
};

}  // namespace rux
