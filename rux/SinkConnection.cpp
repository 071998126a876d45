#include "rux/SinkConnection.h"

#include "rux/Frame.h"
#include "rux/ItemCodec.h"
#include "rux/PipeIo.h"
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

int32_t PopResult(FrameKind kind)
{
    switch (kind) {
    case FrameKind::Call: return RuxResult_Call;
    case FrameKind::Query: return RuxResult_Query;
    case FrameKind::Advise: return RuxResult_Advise;
    case FrameKind::Update: return RuxResult_Update;
    default: return RuxResult_Reply;
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
    for (;;) {
        size_t size = 0;
        IoResult result = PipeIo::Read(pipe_, readEvent_, sink_.StopEvent(), INFINITE, buffer, size);
        if (result == IoResult::Oversized) {
            Trace::Line("Rux: sink '%s': dropped a frame above %u bytes from process %lu", sink_.Name().c_str(),
                        static_cast<unsigned>(MaxFrameBytes), clientProcess_);
            continue;
        }
        if (result != IoResult::Ok || !Handle(buffer.data(), size))
            break;
    }
    Trace::Line("Rux: sink '%s': %s disconnected (process %lu)", sink_.Name().c_str(),
                source_.empty() ? "client" : ("peer '" + source_ + "'").c_str(), clientProcess_);
}

bool SinkConnection::SendAck(int32_t status, uint32_t value)
{
    return PipeIo::Write(pipe_, writeEvent_, sink_.StopEvent(), AckTimeoutMs, Frame::MakeAck(status, value)) ==
           IoResult::Ok;
}

bool SinkConnection::Handle(const unsigned char* data, size_t size)
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
        service->Enqueue(PopResult(frame.kind), std::move(item));
        return true;
    }
    default:
        Trace::Line("Rux: sink '%s': dropped a frame of unknown kind %u from process %lu", sink_.Name().c_str(),
                    static_cast<unsigned>(frame.kind), clientProcess_);
        return true;
    }
}

}  // namespace rux
