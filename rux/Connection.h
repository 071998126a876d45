// The client end of a connection to a sink (RuxOpenConnection, RuxOpenPeer).
// Calls on one connection are serialised; a connection that failed once is
// broken for good and is reopened as a whole (RuxEnsurePeer).
#pragma once

#include "runtime/base/Mutex.h"
#include "runtime/base/UniqueHandle.h"
#include "rux/Frame.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace rux {

class Connection {
public:
    // Connects and says Hello; a peer Hello sets the sink's event. Null with
    // `error` when the sink does not exist or does not answer. (Unchecked by
    // the analysis: it sets up the handles before any other thread sees them.)
    static std::shared_ptr<Connection> Open(const std::string& sinkName, bool peer, const std::string& source,
                                            DWORD& error) OLV_NO_THREAD_SAFETY_ANALYSIS;
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Sends a request and waits for its Ack. False when the connection broke.
    bool Request(FrameKind kind, const std::string& body, int32_t& status, uint32_t& value) OLV_EXCLUDES(mutex_);
    // Sends a frame that is not answered. False when it could not be written.
    bool Post(FrameKind kind, uint32_t service, const std::string& body) OLV_EXCLUDES(mutex_);
    // True once an I/O failed or the sink's end is gone.
    bool Broken() OLV_EXCLUDES(mutex_);
    // Says Bye (which flushes) unless broken, then closes the pipe; idempotent.
    void Close() OLV_EXCLUDES(mutex_);

    const std::string& SinkName() const { return sinkName_; }

private:
    Connection(std::string sinkName) : sinkName_(std::move(sinkName)) {}
    bool RequestLocked(FrameKind kind, const std::string& body, DWORD timeoutMs, int32_t& status, uint32_t& value)
        OLV_REQUIRES(mutex_);

    const std::string sinkName_;
    Mutex mutex_;  // one exchange at a time; guards the handles
    UniquePipe pipe_ OLV_GUARDED_BY(mutex_);
    UniqueEvent ioEvent_ OLV_GUARDED_BY(mutex_);
    std::vector<unsigned char> buffer_ OLV_GUARDED_BY(mutex_);
    std::atomic<bool> broken_{false};
};

}  // namespace rux
