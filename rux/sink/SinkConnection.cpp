#include "rux/sink/SinkConnection.h"

#include "rux/item/ItemCodec.h"
#include "rux/wire/PipeIo.h"
#include "rux/sink/Sink.h"
#include "rux/sink/SinkService.h"
#include "rux/Trace.h"

#include <algorithm>
#include <vector>

namespace rux {
namespace {

// An answer that cannot be written within this time ends the connection.
constexpr DWORD AckTimeoutMs = 5000;
// The read buffer a worker keeps for its connections; one grown for a larger
// frame shrinks back after it, so an idle worker holds no more than this.
constexpr size_t ReadBufferBytes = 64 * 1024;

const char* KindName(FrameKind kind)
{
    switch (kind) {
    case FrameKind::Hello: return "hello";
    case FrameKind::OpenService: return "open-service request";
    case FrameKind::Open: return "open request";
    case FrameKind::Bye: return "bye";
    case FrameKind::Ping: return "ping";
    case FrameKind::Call: return "call";
    case FrameKind::Query: return "query";
    case FrameKind::Advise: return "advise";
    case FrameKind::Update: return "update";
    case FrameKind::Reply: return "reply";
    default: return "frame";
    }
}

}  // namespace

SinkConnection::SinkConnection(Sink& sink, HANDLE pipe, HANDLE readEvent, HANDLE writeEvent, HANDLE cancelEvent,
                               std::shared_ptr<const CallSender> sender)
    : sink_(sink),
      pipe_(pipe),
      readEvent_(readEvent),
      writeEvent_(writeEvent),
      cancelEvent_(cancelEvent),
      sender_(std::move(sender)),
      clientProcess_(sender_->process)
{
}

SinkConnection::~SinkConnection()
{
    if (number_)
        sink_.Unlist(clientProcess_, number_);
}

void SinkConnection::Serve(std::vector<unsigned char>& buffer, std::atomic<uint64_t>& lastFrame)
{
    Trace::Line("Rux: sink '%s': client connected (process %lu)", sink_.Name().c_str(), clientProcess_);
    if (buffer.size() < ReadBufferBytes)
        buffer.resize(ReadBufferBytes);
    ULONGLONG handshakeDeadline = GetTickCount64() + HandshakeTimeoutMs;
    for (;;) {
        DWORD timeout = INFINITE;
        if (!greeted_) {
            ULONGLONG now = GetTickCount64();
            timeout = now < handshakeDeadline ? static_cast<DWORD>(handshakeDeadline - now) : 0;
        }
        size_t size = 0;
        IoResult result = timeout == 0 ? IoResult::TimedOut
                                       : PipeIo::Read(pipe_, readEvent_, cancelEvent_, timeout, buffer, size);
        if (result == IoResult::TimedOut && !greeted_) {
            Trace::Line("Rux: sink '%s': no hello from process %lu within %lu ms, connection closed",
                        sink_.Name().c_str(), clientProcess_, HandshakeTimeoutMs);
            break;
        }
        if (result == IoResult::Ok || result == IoResult::Oversized)
            lastFrame.store(sink_.NextActivity());
        bool goOn = result == IoResult::Ok && Handle(buffer.data(), size);
        if (result == IoResult::Oversized) {
            Trace::Line("Rux: sink '%s': dropped a frame above %u bytes from process %lu", sink_.Name().c_str(),
                        static_cast<unsigned>(MaxFrameBytes), clientProcess_);
            goOn = greeted_;
        }
        if (!goOn)
            break;
        if (buffer.size() > ReadBufferBytes) {
            buffer.resize(ReadBufferBytes);
            buffer.shrink_to_fit();
        }
    }
    // However the connection ended (a read or an answer cut short by the
    // stop, mostly): a client whose end is still open hears that the sink goes.
    ULONGLONG goingDeadline = 0;
    if (sink_.Stopping(goingDeadline))
        SayGoing(goingDeadline, buffer);
    Trace::Line("Rux: sink '%s': %s disconnected (process %lu)", sink_.Name().c_str(),
                source_.empty() ? "client" : ("peer '" + source_ + "'").c_str(), clientProcess_);
}

bool SinkConnection::SendAck(int32_t status, uint32_t value)
{
    return PipeIo::Write(pipe_, writeEvent_, cancelEvent_, AckTimeoutMs, Frame::MakeAck(status, value)) ==
           IoResult::Ok;
}

void SinkConnection::SayGoing(ULONGLONG deadline, std::vector<unsigned char>& buffer)
{
    // Windows keeps the pipe's name while the client's end is open, and a new
    // first instance of it then fails: the client is told, and given until
    // the deadline (shared by all the sink's clients) to close. Whatever it
    // still sends is read and dropped. Wine drops the name with the last
    // server handle and needs none of this, but it shows the close all the
    // same.
    auto left = [deadline] {
        ULONGLONG now = GetTickCount64();
        return now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    };
    if (PipeIo::Write(pipe_, writeEvent_, nullptr, left(), Frame::MakeGoing()) != IoResult::Ok)
        return;  // gone already, or not reading
    IoResult result = IoResult::Ok;
    size_t size = 0;
    while ((result == IoResult::Ok || result == IoResult::Oversized) && left() > 0)
        result = PipeIo::Read(pipe_, readEvent_, nullptr, left(), buffer, size);
    if (result == IoResult::Broken)
        Trace::Line("Rux: sink '%s': told process %lu that it is going; it closed its end", sink_.Name().c_str(),
                    clientProcess_);
    else
        Trace::Line("Rux: sink '%s': told process %lu that it is going; it kept its end open", sink_.Name().c_str(),
                    clientProcess_);
}

bool SinkConnection::Handle(const unsigned char* data, size_t size)
{
    FrameView frame;
    bool parsed = Frame::Parse(data, size, frame);
    if (!greeted_ && (!parsed || (frame.kind != FrameKind::Hello && frame.kind != FrameKind::Open))) {
        Trace::Line("Rux: sink '%s': process %lu sent a %s before its hello, connection closed",
                    sink_.Name().c_str(), clientProcess_, parsed ? KindName(frame.kind) : "malformed frame");
        return false;
    }
    if (!parsed) {
        Trace::Line("Rux: sink '%s': dropped a malformed frame of %zu bytes from process %lu", sink_.Name().c_str(),
                    size, clientProcess_);
        return true;
    }
    const char* body = reinterpret_cast<const char*>(frame.body);
    switch (frame.kind) {
    case FrameKind::Hello: {
        if (frame.bodySize < 1 || frame.body[0] > 1)
            return SendAck(ERROR_INVALID_DATA, 0);
        bool peer = frame.body[0] == 1;
        // The name only goes into trace lines: printable ASCII, bounded.
        source_.assign(body + 1, std::min<size_t>(frame.bodySize - 1, 128));
        for (char& c : source_) {
            if (c < 0x20 || c > 0x7E)
                c = '?';
        }
        greeted_ = true;
        if (peer) {
            Trace::Line("Rux: sink '%s': peer '%s' connected", sink_.Name().c_str(), source_.c_str());
            sink_.SignalPeer();
        }
        return SendAck(0, 0);
    }
    case FrameKind::OpenService: {
        auto service = sink_.FindService(std::string(body, frame.bodySize));
        return service ? SendAck(0, service->Id()) : SendAck(ERROR_NOT_FOUND, 0);
    }
    case FrameKind::Open:
        return Open(frame);
    case FrameKind::Bye:
    case FrameKind::Ping:
        // Answered after everything read before it was delivered: a Bye's
        // answer tells the client that its messages are queued.
        return SendAck(0, 0);
    case FrameKind::Call:
    case FrameKind::Query:
    case FrameKind::Advise:
    case FrameKind::Update:
    case FrameKind::Reply:
        return Deliver(frame);
    default:
        Trace::Line("Rux: sink '%s': dropped a frame of unknown kind %u from process %lu", sink_.Name().c_str(),
                    static_cast<unsigned>(frame.kind), clientProcess_);
        return true;
    }
}

bool SinkConnection::Open(const FrameView& frame)
{
    OpenRequest open;
    // A malformed Open greets nothing: the next frame then ends a connection
    // that has not been greeted.
    if (!Frame::ParseOpen(frame, open))
        return SendAck(ERROR_INVALID_DATA, 0);
    if (!greeted_) {
        greeted_ = true;
        if (open.connection && sink_.List(clientProcess_, open.connection))
            number_ = open.connection;
    }
    // Not itself: a connection that named its own number would wait out the
    // whole time-out.
    open.awaited.erase(std::remove(open.awaited.begin(), open.awaited.end(), number_), open.awaited.end());
    if (!open.awaited.empty() && !sink_.AwaitEnded(clientProcess_, open.awaited, AwaitEndTimeoutMs)) {
        if (WaitForSingleObject(sink_.StopEvent(), 0) == WAIT_OBJECT_0)
            return false;
        Trace::Line("Rux: sink '%s': connections named by process %lu have not ended within %lu ms, answered anyway",
                    sink_.Name().c_str(), clientProcess_, AwaitEndTimeoutMs);
    }
    if (open.service.empty())
        return SendAck(0, 0);
    auto service = sink_.FindService(open.service);
    return service ? SendAck(0, service->Id()) : SendAck(ERROR_NOT_FOUND, 0);
}

bool SinkConnection::Deliver(const FrameView& frame)
{
    // The service first: nothing is decoded for a service that is not there.
    auto service = sink_.FindService(frame.service);
    if (!service) {
        Trace::Line("Rux: sink '%s': dropped a %s for a service that is not running", sink_.Name().c_str(),
                    KindName(frame.kind));
        return true;
    }
    const char* sink = sink_.Name().c_str();
    const char* kind = KindName(frame.kind);
    switch (service->Deliver(frame.kind, frame.body, frame.bodySize, sender_)) {
    case Delivery::Queued:
        return true;
    case Delivery::Malformed:
        Trace::Line("Rux: sink '%s': dropped a %s with a malformed item from process %lu", sink, kind, clientProcess_);
        return true;
    case Delivery::Stopped:
        Trace::Line("Rux: sink '%s': dropped a %s for a service that is not running", sink, kind);
        return true;
    case Delivery::OverItemBound:
        Trace::Line("Rux: sink '%s': dropped a %s of %zu bytes from process %lu that decodes to more than %zu bytes, "
                    "connection closed",
                    sink, kind, frame.bodySize, clientProcess_, ItemCodec::ItemBoundBytes(frame.bodySize));
        return false;
    case Delivery::OverBudget:
        Trace::Line("Rux: sink '%s' service '%s': queue budget of %zu bytes reached, dropped a %s from process %lu, "
                    "connection closed",
                    sink, service->Name().c_str(), service->Budget().Limit(), kind, clientProcess_);
        return false;
    case Delivery::OutOfMemory:
        Trace::Line("Rux: sink '%s': out of memory decoding a %s of %zu bytes from process %lu, connection closed",
                    sink, kind, frame.bodySize, clientProcess_);
        return false;
    }
    return false;
}

}  // namespace rux
