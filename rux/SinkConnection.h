// The server end of one client's connection to a sink: reads the client's
// frames on the sink's worker thread that accepted it, answers requests and
// queues messages on the sink's services. After a message, the reading is lent
// to the popping thread of its service until it comes back (ReadLease).
#pragma once

#include <windows.h>

#include <memory>
#include <string>

namespace rux {

class ReadLease;
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
    // `lent` tells that the reading was lent to the popping thread of the
    // service that got a message.
    bool Handle(const unsigned char* data, size_t size, bool& lent);
    bool SendAck(int32_t status, uint32_t value);

    Sink& sink_;
    HANDLE pipe_;
    HANDLE readEvent_;
    HANDLE writeEvent_;
    DWORD clientProcess_ = 0;
    std::string source_;  // the sink name a peer gave in its Hello
    std::shared_ptr<ReadLease> lease_;
};

}  // namespace rux
