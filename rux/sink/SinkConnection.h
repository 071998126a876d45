// The server end of one client's connection to a sink: reads the client's
// frames on the sink's worker thread that accepted it, answers requests and
// delivers messages to the sink's services.
//
// A connection starts with the client's Hello or Open, which must come within
// HandshakeTimeoutMs (Sink.h) and before any other frame; otherwise the
// connection is closed. A connection numbered by its Open is listed in the
// sink until it ends (Sink::List). A malformed frame or item is dropped and the
// connection goes on; a message past its item bound or its service's queue
// budget, or one that could not be decoded for want of memory, is dropped
// and the connection closed (a sender that floods is cut off, nothing else is
// disturbed).
//
// The connection's I/O ends when its cancel event is set: by Stop, when the
// connection then says Going to its client and waits (until the sink's
// deadline) for the client to close its end, or by an eviction (Sink.h), when
// it is simply closed.
#pragma once

// <windows.h> first: it defines OpenService as a macro, which must then
// apply to FrameKind's member here as everywhere else.
#include <windows.h>

#include "rux/security/CallSender.h"
#include "rux/wire/Frame.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace rux {

class Sink;

class SinkConnection {
public:
    // Borrows the connected pipe instance and three manual-reset events of
    // the worker for the length of Serve. `sender` is the admitted client,
    // given to every message it delivers.
    SinkConnection(Sink& sink, HANDLE pipe, HANDLE readEvent, HANDLE writeEvent, HANDLE cancelEvent,
                   std::shared_ptr<const CallSender> sender);
    // Unlists the connection: everything it carried has been delivered.
    ~SinkConnection();
    SinkConnection(const SinkConnection&) = delete;
    SinkConnection& operator=(const SinkConnection&) = delete;

    // Serves the client until it goes away, breaks a rule above, or the sink
    // stops, reading into `buffer` (the worker's, kept from one client to the
    // next), and noting the sink's activity count in `lastFrame` at each
    // frame. May throw std::bad_alloc (the caller closes the connection).
    void Serve(std::vector<unsigned char>& buffer, std::atomic<uint64_t>& lastFrame);
    DWORD ClientProcess() const { return sender_->process; }

private:
    // False when the connection must end.
    bool Handle(const unsigned char* data, size_t size);
    bool Deliver(const FrameView& frame);
    // Greets (the first time), waits for the connections it names, then
    // answers with the service's id.
    bool Open(const FrameView& frame);
    bool SendAck(int32_t status, uint32_t value);
    // Tells the client the sink is going and waits, until `deadline`, for it
    // to close its end.
    void SayGoing(ULONGLONG deadline, std::vector<unsigned char>& buffer);

    Sink& sink_;
    HANDLE pipe_;
    HANDLE readEvent_;
    HANDLE writeEvent_;
    HANDLE cancelEvent_;
    const std::shared_ptr<const CallSender> sender_;
    const DWORD clientProcess_;
    bool greeted_ = false;  // a valid Hello or Open came
    std::string source_;    // the sink name a peer gave in its Hello
    uint64_t number_ = 0;   // what its Open numbered it, when listed
};

}  // namespace rux
