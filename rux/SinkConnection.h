// The server end of one client's connection to a sink: reads the client's
// frames on the sink's worker thread that accepted it, answers requests and
// queues messages on the sink's services.
#pragma once

#include <windows.h>

#include <string>

namespace rux {

class Sink;

class SinkConnection {
public:
    // Borrows the connected pipe instance and two manual-reset events of the
    // worker for the length of Serve.
    SinkConnection(Sink& sink, HANDLE pipe, HANDLE readEvent, HANDLE writeEvent);
    SinkConnection(const SinkConnection&) = delete;
    SinkConnection& operator=(const SinkConnection&) = delete;

    // Serves the client until it goes away or the sink stops.
    void Serve();

private:
    // False when the connection must end (an answer could not be written).
    bool Handle(const unsigned char* data, size_t size);
    bool SendAck(int32_t status, uint32_t value);

    Sink& sink_;
    HANDLE pipe_;
    HANDLE readEvent_;
    HANDLE writeEvent_;
    DWORD clientProcess_ = 0;
    std::string source_;  // the sink name a peer gave in its Hello
};

}  // namespace rux
