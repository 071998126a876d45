#include "rux/client/Connection.h"

#include "rux/client/ClosedConnections.h"
#include "rux/wire/PipeIo.h"
#include "rux/security/PipeSecurity.h"
#include "rux/wire/SinkName.h"
#include "rux/Trace.h"

#include <algorithm>
#include <new>

namespace rux {
namespace {

// How long a connect waits for a free pipe instance, and how long one exchange
// may take before the connection counts as broken.
constexpr ULONGLONG ConnectTimeoutMs = 5000;
constexpr DWORD ExchangeTimeoutMs = 5000;
constexpr DWORD ByeTimeoutMs = 2000;
// While an exchange connection waits for a free pipe instance, it looks at its
// cancel event this often.
constexpr DWORD BusySliceMs = 50;

std::atomic<uint64_t> LastNumber{0};

// Events for the connections' I/O, kept from one connection to the next: the
// plug-in opens a connection for every message, and would otherwise make and
// close an event each time. (An overlapped read or write resets its event as
// it starts.)
class IoEvents {
public:
    // Lives as long as the process, as the library does.
    static IoEvents& Get()
    {
        static IoEvents* const events = new IoEvents();
        return *events;
    }
    // A kept event, or a new one (invalid, with the last error, when none
    // could be made).
    UniqueEvent Take() OLV_EXCLUDES(mutex_)
    {
        {
            MutexHolder hold(mutex_);
            if (!kept_.empty()) {
                UniqueEvent event = std::move(kept_.back());
                kept_.pop_back();
                return event;
            }
        }
        return UniqueEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    }
    // Closes those kept (the last RuxExit: a module unloaded after it leaves
    // nothing open).
    void Clear() noexcept OLV_EXCLUDES(mutex_)
    {
        MutexHolder hold(mutex_);
        kept_.clear();
    }
    // Keeps `event` unless enough are kept; then it closes as it goes.
    void Give(UniqueEvent event) noexcept OLV_EXCLUDES(mutex_)
    {
        if (!event.valid())
            return;
        MutexHolder hold(mutex_);
        if (kept_.size() < kept_.capacity())
            kept_.push_back(std::move(event));
        hold.Unlock();
    }

private:
    IoEvents() { kept_.reserve(8); }  // never grows: Give does not allocate

    Mutex mutex_;
    std::vector<UniqueEvent> kept_ OLV_GUARDED_BY(mutex_);
};

}  // namespace

// The pipe for the exchanges of one call: taken from the watch for the scope
// (while Open makes the connection, the pipe is used as it is) and given back
// at its end, or closed for good when the connection broke meanwhile.
class Connection::PipeHold {
public:
    explicit PipeHold(Connection& connection) OLV_REQUIRES(connection.mutex_) : connection_(connection)
    {
        if (connection.broken_.load())
            return;
        if (!connection.watched_) {
            pipe_ = connection.pipe_.get();
            return;
        }
        pipe_ = ConnectionWatch::Get().Hold(*connection.watched_);
        if (pipe_ == INVALID_HANDLE_VALUE) {
            // The sink went, or said it is going: the watch closed our end.
            connection.broken_.store(true);
            connection.watched_.reset();
        }
    }
    // Runs with the connection's mutex still held (declared after it).
    ~PipeHold() OLV_NO_THREAD_SAFETY_ANALYSIS
    {
        if (!connection_.watched_)
            return;
        if (connection_.broken_.load()) {
            // Broken for good: the end closes now, not at the application's
            // close, so that it keeps no name of the sink alive.
            connection_.pipe_ = ConnectionWatch::Get().Remove(*connection_.watched_);
            connection_.watched_.reset();
            connection_.ForgetPipeLocked();
        } else {
            ConnectionWatch::Get().Release(*connection_.watched_);
        }
    }
    PipeHold(const PipeHold&) = delete;
    PipeHold& operator=(const PipeHold&) = delete;

    HANDLE get() const { return pipe_; }

private:
    Connection& connection_;
    HANDLE pipe_ = INVALID_HANDLE_VALUE;
};

Connection::Connection(std::string sinkName, bool peer)
    : sinkName_(std::move(sinkName)), peer_(peer), number_(++LastNumber)
{
}

std::shared_ptr<Connection> Connection::Open(const std::string& sinkName, bool peer, const std::string& source,
                                             DWORD& error, const ExchangeLimits* limits)
{
    std::shared_ptr<Connection> connection(new Connection(sinkName, peer));
    std::wstring path = SinkName::PipePath(sinkName);
    ULONGLONG deadline = GetTickCount64() + (limits ? limits->timeoutMs : ConnectTimeoutMs);
    if (limits) {
        connection->deadline_ = deadline;
        if (limits->cancel && !DuplicateHandle(GetCurrentProcess(), limits->cancel, GetCurrentProcess(),
                                               connection->cancel_.put(), SYNCHRONIZE, FALSE, 0)) {
            error = GetLastError();
            return nullptr;
        }
    }
    for (;;) {
        if (connection->cancel_.valid() && WaitForSingleObject(connection->cancel_.get(), 0) != WAIT_TIMEOUT) {
            error = ERROR_CANCELLED;
            return nullptr;
        }
        // Identification level only: the sink may learn who we are but never
        // act as us.
        connection->pipe_.reset(CreateFileW(path.c_str(), PipeSecurity::ClientAccess, 0, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                                            nullptr));
        if (connection->pipe_.valid())
            break;
        error = GetLastError();
        ULONGLONG now = GetTickCount64();
        if (error != ERROR_PIPE_BUSY)
            return nullptr;
        if (now >= deadline) {
            error = limits ? ERROR_TIMEOUT : error;
            return nullptr;
        }
        // The wait cannot be cancelled: in short slices where a cancel event
        // may end it. (Never 0, which would mean the pipe's default wait.)
        DWORD wait = static_cast<DWORD>(deadline - now);
        if (connection->cancel_.valid() && wait > BusySliceMs)
            wait = BusySliceMs;
        WaitNamedPipeW(path.c_str(), wait ? wait : 1);
    }
    if (!PipeSecurity::VerifyServer(connection->pipe_.get(), sinkName, limits ? limits->server : nullptr, error)) {
        connection->broken_.store(true);  // not even a Bye to a server we do not trust
        return nullptr;
    }
    // The pipe stays in byte-read mode (one call fewer): all that comes back
    // is Acks, read by their fixed size.
    connection->ioEvent_ = IoEvents::Get().Take();
    if (!connection->ioEvent_.valid()) {
        error = GetLastError();
        return nullptr;
    }
    if (peer) {
        // A peer's Hello sets the sink's event: it is said now, not with the
        // first service.
        std::string hello(1, '\1');
        hello += source;
        int32_t status = 0;
        uint32_t value = 0;
        if (!connection->RequestLocked(connection->pipe_.get(), FrameKind::Hello, hello, ExchangeTimeoutMs, status,
                                       value) ||
            status != 0) {
            error = status ? static_cast<DWORD>(status) : ERROR_BAD_PIPE;
            return nullptr;
        }
    }
    // Watched from now on, while idle.
    connection->watched_ = ConnectionWatch::Get().Add(connection->pipe_);
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

void Connection::CloseKeptEvents()
{
    IoEvents::Get().Clear();
    ConnectionWatch::Get().Stop();
}

DWORD Connection::StepTimeout(DWORD usual) const
{
    if (!deadline_)
        return usual;
    ULONGLONG now = GetTickCount64();
    return now >= deadline_ ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(usual, deadline_ - now));
}

void Connection::BreakOn(IoResult result)
{
    if (result == IoResult::TimedOut && deadline_)
        failure_.store(ERROR_TIMEOUT);
    else if (result == IoResult::Stopped)
        failure_.store(ERROR_CANCELLED);
    broken_.store(true);
}

bool Connection::RequestLocked(HANDLE pipe, FrameKind kind, const std::string& body, DWORD timeoutMs,
                               int32_t& status, uint32_t& value)
{
    if (broken_.load() || pipe == INVALID_HANDLE_VALUE)
        return false;
    // A sink that is going answers with its Going (an Ack's size) instead:
    // not an Ack, it breaks the connection as any other wrong answer does.
    unsigned char ack[AckFrameBytes];
    FrameView answer;
    // One time-out for the request and its answer together.
    ULONGLONG deadline = GetTickCount64() + StepTimeout(timeoutMs);
    auto left = [deadline] {
        ULONGLONG now = GetTickCount64();
        return now >= deadline ? DWORD{0} : static_cast<DWORD>(deadline - now);
    };
    IoResult result = left() ? PipeIo::Write(pipe, ioEvent_.get(), cancel_.get(), left(), Frame::Make(kind, 0, body))
                             : IoResult::TimedOut;
    if (result == IoResult::Ok)
        result = left() ? PipeIo::ReadBytes(pipe, ioEvent_.get(), cancel_.get(), left(), ack, sizeof ack)
                        : IoResult::TimedOut;
    if (result != IoResult::Ok || !Frame::Parse(ack, sizeof ack, answer) || !Frame::ParseAck(answer, status, value)) {
        BreakOn(result);
        return false;
    }
    return true;
}

bool Connection::OpenLocked(HANDLE pipe, const std::string& service, const std::vector<uint64_t>& awaited,
                            int32_t& status, uint32_t& value)
{
    OpenRequest open;
    open.connection = number_;
    open.awaited = awaited;
    open.service = service;
    if (!RequestLocked(pipe, FrameKind::Open, Frame::MakeOpenBody(open), ExchangeTimeoutMs, status, value))
        return false;
    // Answered: the sink has seen them end, whatever became of the service.
    ClosedConnections::Get().Proven(sinkName_, awaited);
    return true;
}

bool Connection::OpenService(const std::string& name, int32_t& status, uint32_t& id)
{
    bool answered;
    {
        MutexHolder hold(mutex_);
        PipeHold pipe(*this);
        answered = OpenLocked(pipe.get(), name, ClosedConnections::Get().Unproven(sinkName_), status, id);
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
        if (broken_.load())
            return false;
        PipeHold pipe(*this);
        // What this process sent on connections it closed to this sink goes
        // first: an Open proves them ended, unless one already did.
        bool proven = pipe.get() != INVALID_HANDLE_VALUE;
        for (std::vector<uint64_t> awaited; proven && !(awaited = ClosedConnections::Get().Unproven(sinkName_)).empty();) {
            int32_t status = 0;
            uint32_t value = 0;
            proven = OpenLocked(pipe.get(), std::string(), awaited, status, value);
        }
        IoResult result = IoResult::Broken;
        if (proven) {
            DWORD timeout = StepTimeout(ExchangeTimeoutMs);
            result = timeout ? PipeIo::Write(pipe.get(), ioEvent_.get(), cancel_.get(), timeout,
                                             Frame::Make(kind, service, body))
                             : IoResult::TimedOut;
        }
        if (result == IoResult::Ok) {
            carried_ = true;
            return true;
        }
        if (proven)
            BreakOn(result);
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
    PipeHold pipe(*this);
    DWORD available = 0;
    if (pipe.get() == INVALID_HANDLE_VALUE || !PeekNamedPipe(pipe.get(), nullptr, 0, nullptr, &available, nullptr))
        broken_.store(true);
    return broken_.load();
}

void Connection::ForgetPipeLocked() noexcept
{
    // What it carried may still be on its way into the sink: the next Open
    // to that sink names it, as after a close (an allocation that fails
    // loses only that order).
    if (carried_ && !peer_ && pipe_.valid()) {
        try {
            ClosedConnections::Get().Add(sinkName_, number_);
        } catch (const std::bad_alloc&) {
        }
    }
    carried_ = false;
    pipe_.reset();
}

void Connection::Close()
{
    MutexHolder hold(mutex_);
    if (watched_) {
        // Empty when the watch closed it already (the sink went).
        pipe_ = ConnectionWatch::Get().Remove(*watched_);
        watched_.reset();
        if (!pipe_.valid())
            broken_.store(true);
    }
    if (!pipe_.valid()) {
        IoEvents::Get().Give(std::move(ioEvent_));
        broken_.store(true);
        return;
    }
    // A plain connection's messages are proven queued by the next Open to the
    // sink; a peer's (its Hello numbers nothing) by Bye's answer, which comes
    // after everything sent before it was queued.
    bool bye = peer_;
    if (carried_ && !peer_) {
        try {
            ClosedConnections::Get().Add(sinkName_, number_);
        } catch (const std::bad_alloc&) {
            bye = true;
        }
    }
    if (bye && !broken_.load()) {
        int32_t status = 0;
        uint32_t value = 0;
        RequestLocked(pipe_.get(), FrameKind::Bye, std::string(), ByeTimeoutMs, status, value);
    }
    pipe_.reset();
    IoEvents::Get().Give(std::move(ioEvent_));
    broken_.store(true);
}

}  // namespace rux
