// The reading of one sink connection, lent by its worker thread to the thread
// that pops a service, so that a message for that service wakes the popping
// thread directly instead of passing through the worker.
//
// Why: the worker reads a message, queues it and sets the application's event,
// and the application thread, waiting on that event, wakes. That is two thread
// wakes per message where a plain pipe needs one, and each wake is costly
// where system calls go through a server. While lent, the pipe's read is
// issued by RuxPopCall itself, with the application's event as the read's
// event: the arrival of the message is the signal.
//
// Order of a lease: the worker lends as it delivers a message to a service
// (the service's application is then about to pop). RuxPopCall on
// that service, finding the queue empty, issues a read; when it completes, the
// next RuxPopCall queues a message for its own service and reads again. Any
// other frame (requests, messages for other services, malformed frames, a
// broken pipe) goes back to the worker, which handles it exactly as if it had
// read it. The worker also takes the reading back when the application does
// not pop (a finished read left uncollected, or no read issued) within a check
// interval, when the connection stays idle for a while, and when the sink
// stops; stopping the service takes it back too. Taking back cancels an issued
// read and waits for it, so the application's event is never used after the
// service closed it, and a message that completed meanwhile is handed to the
// worker, never lost.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace rux {

class SinkService;

class ReadLease : public std::enable_shared_from_this<ReadLease> {
public:
    // What the worker gets back.
    enum class Back {
        Idle,    // nothing read: the worker reads on
        Frame,   // a whole frame, or the start of one (`more`) to read on from
        Broken,  // the pipe failed: the connection ends
        Stopped  // the sink stops: the connection ends
    };

    // `pipe` is the worker's connected instance, borrowed for the lease's life.
    explicit ReadLease(HANDLE pipe);
    ~ReadLease();
    ReadLease(const ReadLease&) = delete;
    ReadLease& operator=(const ReadLease&) = delete;

    // Worker: lends the reading to `service`, before the message that makes
    // its application pop is queued there, so that the pop finds the lease.
    // False when the service takes no lease.
    bool Lend(const std::shared_ptr<SinkService>& service);
    // Worker, after a successful Lend: waits until the reading comes back. On
    // return `buffer`/`size`/`more` hold what `back` says.
    void WaitBack(HANDLE stopEvent, std::vector<unsigned char>& buffer, size_t& size, bool& more, Back& back);

    // The popping thread of `service`, under its pop lock: collects finished
    // reads (at most `budget` frames), queues this service's messages and
    // reads again; anything else goes back to the worker. On return no read of
    // this lease is both finished and uncollected unless the budget ran out.
    // True when a finished read was collected.
    bool Pump(SinkService& service, int& budget);

    // Any thread: takes the reading back for the worker (service stop).
    void Reclaim();

private:
    enum class State {
        Worker,      // the worker reads
        Lent,        // the popping thread may issue a read
        Issued,      // a read of the popping thread is pending or finished
        Reclaiming,  // an issued read is being cancelled
    };

    // Ends the lease with `back`: the worker is told. mutex_ held.
    void ReturnLocked(Back back, size_t size, bool more);
    // Cancels an issued read and waits for it; releases mutex_ meanwhile.
    void ReclaimLocked(std::unique_lock<std::mutex>& hold);
    // A finished read: true when it was a message of `service`, now queued.
    bool DeliverLocked(SinkService& service, size_t size);

    const HANDLE pipe_;
    HANDLE returnEvent_ = nullptr;  // auto-reset; set when the lease ends

    std::mutex mutex_;  // guards everything below
    State state_ = State::Worker;
    std::condition_variable returned_;  // a take-back ended
    std::shared_ptr<SinkService> service_;  // while lent
    OVERLAPPED overlapped_ = {};
    std::vector<unsigned char> buffer_;  // the popping thread's reads
    uint64_t delivered_ = 0;             // messages queued by popping threads
    Back back_ = Back::Idle;
    size_t backSize_ = 0;
    bool backMore_ = false;
};

}  // namespace rux
