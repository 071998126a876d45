#include "rux/SinkConnection.h"

#include "rux/Frame.h"
#include "rux/ItemCodec.h"
#include "rux/PipeIo.h"
#include "rux/ReadLease.h"
#include "rux/Sink.h"
#include "rux/Trace.h"

#include "plugin/contracts/RuxApi.h"
#include "rux/RuxExtensions.h"

#include <algorithm>
#include <vector>

namespace rux {
namespace {

// An answer that cannot be written within this time ends the connection.
constexpr DWORD AckTimeoutMs = 5000;

const char* KindName(FrameKind kind)
{
    switch (kind) {
    case FrameKind::Call: return "call";
    case FrameKind::Query: return "query";
    case FrameKind::Advise: return "advise";
    case FrameKind::Update: return "update";
    case FrameKind::Reply: return "reply";
    default: return "frame";
    }
}


}  // namespace

SinkConnection::SinkConnection(Sink& sink, HANDLE pipe, HANDLE readEvent, HANDLE writeEvent)
    : sink_(sink), pipe_(pipe), readEvent_(readEvent), writeEvent_(writeEvent)
{
    GetNamedPipeClientProcessId(pipe_, &clientProcess_);
}

void SinkConnection::Serve()
{
    Trace::Line("Rux: sink '%s': client connected (process %lu)", sink_.Name().c_str(), clientProcess_);
    std::vector<unsigned char> buffer(64 * 1024);
    // Should the lease lack its event, the connection is simply read here.
    lease_ = std::make_shared<ReadLease>(pipe_);
    size_t size = 0;
    bool pending = false;  // `buffer` holds a frame read elsewhere
    bool more = false;     // ... of which only the start
    for (;;) {
        IoResult result = IoResult::Ok;
        if (!pending || more)
            result = PipeIo::Read(pipe_, readEvent_, sink_.StopEvent(), INFINITE, buffer, size, more);
        pending = more = false;
        if (result == IoResult::Oversized) {
            Trace::Line("Rux: sink '%s': dropped a frame above %u bytes from process %lu", sink_.Name().c_str(),
                        static_cast<unsigned>(MaxFrameBytes), clientProcess_);
            continue;
        }
        bool lent = false;
        if (result != IoResult::Ok || !Handle(buffer.data(), size, lent))
            break;
        if (!lent)
            continue;
        ReadLease::Back back = ReadLease::Back::Idle;
        lease_->WaitBack(sink_.StopEvent(), buffer, size, more, back);
        if (back == ReadLease::Back::Broken || back == ReadLease::Back::Stopped)
            break;
        pending = back == ReadLease::Back::Frame;
    }
    Trace::Line("Rux: sink '%s': %s disconnected (process %lu)", sink_.Name().c_str(),
                source_.empty() ? "client" : ("peer '" + source_ + "'").c_str(), clientProcess_);
}

bool SinkConnection::SendAck(int32_t status, uint32_t value)
{
    return PipeIo::Write(pipe_, writeEvent_, sink_.StopEvent(), AckTimeoutMs, Frame::MakeAck(status, value)) ==
           IoResult::Ok;
}

bool SinkConnection::Handle(const unsigned char* data, size_t size, bool& lent)
{
    FrameView frame;
    if (!Frame::Parse(data, size, frame)) {
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
    case FrameKind::Bye:
    case FrameKind::Ping:
        return SendAck(0, 0);
    case FrameKind::Call:
    case FrameKind::Query:
    case FrameKind::Advise:
    case FrameKind::Update:
    case FrameKind::Reply: {
        ItemPtr item;
        if (!ItemCodec::Decode(frame.body, frame.bodySize, item)) {
            Trace::Line("Rux: sink '%s': dropped a %s with a malformed item from process %lu", sink_.Name().c_str(),
                        KindName(frame.kind), clientProcess_);
            return true;
        }
        auto service = sink_.FindService(frame.service);
        if (!service) {
            Trace::Line("Rux: sink '%s': dropped a %s for a service that is not running", sink_.Name().c_str(),
                        KindName(frame.kind));
            return true;
        }
        // An application that has popped everything waits, and pops next: from
        // now on its popping thread reads this connection (see ReadLease). One
        // that is behind (or sends to itself) is not lent to, so the worker
        // keeps draining the pipe for it. Lent before the message is queued,
        // so that the pop it causes finds the lease.
        lent = service->Drained() && lease_->Lend(service);
        // Refused (queue full, service stopping): the reading comes back at
        // once, with whatever a read of the popping thread got meanwhile.
        if (!service->Enqueue(SinkService::PopResult(frame.kind), std::move(item)) && lent)
            lease_->Reclaim();
        return true;
    }
    default:
        Trace::Line("Rux: sink '%s': dropped a frame of unknown kind %u from process %lu", sink_.Name().c_str(),
                    static_cast<unsigned>(frame.kind), clientProcess_);
        return true;
    }
}

}  // namespace rux
