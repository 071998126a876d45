// The client end of a connection to a sink (RuxOpenConnection, RuxOpenPeer).
// Calls on one connection are serialised; a connection that failed once is
// broken for good and is reopened as a whole (RuxEnsurePeer).
//
// A peer says Hello as it connects and Bye, waiting for the answer, as it
// closes. A plain connection writes nothing until its first service is opened,
// which greets the sink and looks the service up in one exchange (Open), and
// closes without a word: the sink reads a closed connection to its end, and
// the next Open from this process to that sink waits for that end
// (ClosedConnections, Frame.h).
//
// An exchange connection (RuxOpenExchange) is a plain connection made for one
// exchange: its connect, every request and every send share one deadline, an
// optional cancel event fails whatever step is waiting once it is set, and
// its sink's server may be required to be a given user in a given session.
//
// Once open, the pipe is watched while the connection is idle
// (ConnectionWatch): when the sink goes, or says it is going, the client end
// is closed at once and the connection is broken. An answer that is the
// sink's Going instead of an Ack breaks it too.
#pragma once

#include "base/Mutex.h"
#include "base/UniqueHandle.h"
#include "rux/client/ConnectionWatch.h"
#include "rux/security/CallSender.h"
#include "rux/wire/Frame.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace rux {

enum class IoResult;

// The bounds of an exchange connection.
struct ExchangeLimits {
    DWORD timeoutMs = 0;           // the whole exchange, from the connect on
    HANDLE cancel = nullptr;       // borrowed for Open, which keeps a duplicate
    const CallSender* server = nullptr;  // when set: the only user and session the server may be
};

class Connection {
public:
    // Connects and says Hello; a peer Hello sets the sink's event. Null with
    // `error` when the sink does not exist or does not answer. With `limits`,
    // a plain connection for one exchange (see above): `error` is then also
    // ERROR_TIMEOUT or ERROR_CANCELLED. (Unchecked by the analysis: it sets up
    // the handles before any other thread sees them.)
    static std::shared_ptr<Connection> Open(const std::string& sinkName, bool peer, const std::string& source,
                                            DWORD& error, const ExchangeLimits* limits = nullptr)
        OLV_NO_THREAD_SAFETY_ANALYSIS;
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Opens the service `name` with an Open (which also greets a plain
    // connection's sink, and names what this process closed to it before).
    // False when the connection broke; else `status` is 0 and `id` the
    // service's, or `status` is the sink's error (ERROR_NOT_FOUND).
    bool OpenService(const std::string& name, int32_t& status, uint32_t& id) OLV_EXCLUDES(mutex_);
    // Sends a frame that is not answered, after an Open that proves the
    // connections this process closed to the sink ended, when there are any.
    // False when it could not be written.
    bool Post(FrameKind kind, uint32_t service, const std::string& body) OLV_EXCLUDES(mutex_);
    // True once an I/O failed or the sink's end is gone.
    bool Broken() OLV_EXCLUDES(mutex_);
    // Why the connection broke: ERROR_TIMEOUT (an exchange's deadline
    // passed), ERROR_CANCELLED (its cancel event), else ERROR_BROKEN_PIPE.
    DWORD FailureError() const { return failure_.load(); }
    // Closes the pipe; idempotent. A peer says Bye first and waits for its
    // answer (which flushes); a plain connection that carried a message is
    // left to the next Open to that sink to prove ended.
    void Close() OLV_EXCLUDES(mutex_);

    const std::string& SinkName() const { return sinkName_; }

    // Closes the I/O events kept from one connection to the next and ends
    // the watch's thread (the last RuxExit).
    static void CloseKeptEvents();

private:
    class PipeHold;

    Connection(std::string sinkName, bool peer);
    // The time an exchange step may take: `usual`, or what is left of an
    // exchange connection's deadline when that is less. 0 once it passed.
    DWORD StepTimeout(DWORD usual) const;
    // Marks the connection broken by an I/O that ended with `result`.
    void BreakOn(IoResult result);
    // Sends a request on `pipe` and waits for its Ack; false (and broken)
    // when none came.
    bool RequestLocked(HANDLE pipe, FrameKind kind, const std::string& body, DWORD timeoutMs, int32_t& status,
                       uint32_t& value) OLV_REQUIRES(mutex_);
    // An Open for `service` (or none) that names `awaited`; on its Ack they
    // are proven ended. May throw std::bad_alloc.
    bool OpenLocked(HANDLE pipe, const std::string& service, const std::vector<uint64_t>& awaited, int32_t& status,
                    uint32_t& value) OLV_REQUIRES(mutex_);

    // Closes the pipe of a connection broken for good, naming what it carried
    // for the next Open as a close does.
    void ForgetPipeLocked() noexcept OLV_REQUIRES(mutex_);

    const std::string sinkName_;
    const bool peer_;
    const uint64_t number_;  // among this process's connections; an Open names it
    Mutex mutex_;  // one exchange at a time; guards the handles and `carried_`
    UniquePipe pipe_ OLV_GUARDED_BY(mutex_);  // until Open hands it to the watch
    std::shared_ptr<ConnectionWatch::Slot> watched_ OLV_GUARDED_BY(mutex_);  // the pipe from then on
    UniqueEvent ioEvent_ OLV_GUARDED_BY(mutex_);
    bool carried_ OLV_GUARDED_BY(mutex_) = false;  // a message was written
    // An exchange connection's bounds, set by Open before anyone else sees it.
    ULONGLONG deadline_ = 0;  // GetTickCount64; 0: none
    UniqueEvent cancel_;
    std::atomic<bool> broken_{false};
    std::atomic<DWORD> failure_{ERROR_BROKEN_PIPE};
};

}  // namespace rux
