#include "rux/Connection.h"

#include "rux/PipeIo.h"
#include "rux/PipeSecurity.h"
#include "rux/SinkName.h"
#include "rux/Trace.h"

namespace rux {
namespace {

// How long a connect waits for a free pipe instance, and how long one exchange
// may take before the connection counts as broken.
constexpr ULONGLONG ConnectTimeoutMs = 5000;
constexpr DWORD ExchangeTimeoutMs = 5000;
constexpr DWORD ByeTimeoutMs = 2000;

}  // namespace

std::shared_ptr<Connection> Connection::Open(const std::string& sinkName, bool peer, const std::string& source,
                                             DWORD& error)
{
    std::shared_ptr<Connection> connection(new Connection(sinkName));
    std::wstring path = SinkName::PipePath(sinkName);
    ULONGLONG deadline = GetTickCount64() + ConnectTimeoutMs;
    for (;;) {
        // Identification level only: the sink may learn who we are but never
        // act as us.
        connection->pipe_.reset(CreateFileW(path.c_str(), PipeSecurity::ClientAccess, 0, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                                            nullptr));
        if (connection->pipe_.valid())
            break;
        error = GetLastError();
        ULONGLONG now = GetTickCount64();
        if (error != ERROR_PIPE_BUSY || now >= deadline)
            return nullptr;
        WaitNamedPipeW(path.c_str(), static_cast<DWORD>(deadline - now));
    }
    if (!PipeSecurity::VerifyServer(connection->pipe_.get(), sinkName, error)) {
        connection->broken_.store(true);  // not even a Bye to a server we do not trust
        return nullptr;
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    connection->ioEvent_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!connection->ioEvent_.valid() || !SetNamedPipeHandleState(connection->pipe_.get(), &mode, nullptr, nullptr)) {
        error = GetLastError();
        return nullptr;
    }
    std::string hello(1, peer ? '\1' : '\0');
    hello += source;
    int32_t status = 0;
    uint32_t value = 0;
    if (!connection->Request(FrameKind::Hello, hello, status, value) || status != 0) {
        error = status ? static_cast<DWORD>(status) : ERROR_BAD_PIPE;
        return nullptr;
    }
    if (peer)
        Trace::Line("Rux: peer from sink '%s' connected to sink '%s'", source.c_str(), sinkName.c_str());
    else
        Trace::Line("Rux: connected to sink '%s'", sinkName.c_str());
    return connection;
}

Connection::~Connection()
{
    Close();
}

bool Connection::RequestLocked(FrameKind kind, const std::string& body, DWORD timeoutMs, int32_t& status,
                               uint32_t& value)
{
    if (broken_.load() || !pipe_.valid())
        return false;
    size_t size = 0;
    FrameView answer;
    if (PipeIo::Write(pipe_.get(), ioEvent_.get(), nullptr, timeoutMs, Frame::Make(kind, 0, body)) != IoResult::Ok ||
        PipeIo::Read(pipe_.get(), ioEvent_.get(), nullptr, timeoutMs, buffer_, size) != IoResult::Ok ||
        !Frame::Parse(buffer_.data(), size, answer) || !Frame::ParseAck(answer, status, value)) {
        broken_.store(true);
        return false;
    }
    return true;
}

bool Connection::Request(FrameKind kind, const std::string& body, int32_t& status, uint32_t& value)
{
    bool answered;
    {
        MutexHolder hold(mutex_);
        answered = RequestLocked(kind, body, ExchangeTimeoutMs, status, value);
    }
    // Traced outside the lock: the trace callback never runs under our locks.
    if (!answered)
        Trace::Line("Rux: connection to sink '%s' broken", sinkName_.c_str());
    return answered;
}

bool Connection::Post(FrameKind kind, uint32_t service, const std::string& body)
{
    if (FrameHeaderBytes + body.size() > MaxFrameBytes) {
        Trace::Line("Rux: refused to send a frame of %zu bytes to sink '%s' (limit %u)", FrameHeaderBytes + body.size(),
                    sinkName_.c_str(), static_cast<unsigned>(MaxFrameBytes));
        return false;
    }
    {
        MutexHolder hold(mutex_);
        if (broken_.load() || !pipe_.valid())
            return false;
        if (PipeIo::Write(pipe_.get(), ioEvent_.get(), nullptr, ExchangeTimeoutMs, Frame::Make(kind, service, body)) ==
            IoResult::Ok)
            return true;
        broken_.store(true);
    }
    Trace::Line("Rux: connection to sink '%s' broken", sinkName_.c_str());
    return false;
}

bool Connection::Broken()
{
    if (broken_.load())
        return true;
    MutexHolder hold(mutex_);
    DWORD available = 0;
    if (!pipe_.valid() || !PeekNamedPipe(pipe_.get(), nullptr, 0, nullptr, &available, nullptr))
        broken_.store(true);
    return broken_.load();
}

void Connection::Close()
{
    MutexHolder hold(mutex_);
    if (!pipe_.valid())
        return;
    int32_t status = 0;
    uint32_t value = 0;
    // The Bye's answer comes after everything sent before it was queued.
    if (!broken_.load())
        RequestLocked(FrameKind::Bye, std::string(), ByeTimeoutMs, status, value);
    pipe_.reset();
    broken_.store(true);
}

}  // namespace rux
