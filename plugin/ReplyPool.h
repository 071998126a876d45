// Sends the answers to queries for one worker run, on a few threads of its
// own: the drain hands an answer in and goes on, so that a reply target that
// stalls holds one of these threads for one deadline, and never the drain,
// another sender's answer or the client's shutdown.
//
// Threads: the worker run owns the pool. Its thread hands answers in (Admits,
// Hand) and stops the pool (Stop, or the destructor) before the run ends;
// the reply threads are started with the first answer and joined by Stop, so
// none runs the module's code after the run. Each reply is an exchange of
// the client (ExchangeGate): Destroy cancels those in flight.
//
// Bounds, so that one sender cannot crowd out the others:
//   ReplyThreads (4)           replies in flight at once
//   ExchangeMs (2000)          one reply's whole exchange: connect, server
//                              check, open, send
// and those of the queue (ReplyQueue: in flight per sender and per target,
// pending per sender, queued, bytes). A target whose exchange timed out or
// broke is not tried again for ReplyBackoff::BackoffMs: replies to it are
// dropped at once, with a line.
// Failures known at once (no such sink or service, a name not valid, a server
// not trusted) cost nothing and hold nothing back.
// A reply is sent only to a sink served by a process of the sender's own
// user in the sender's own session (RuxExchange::server).
//
// Lock: mutex_ is a leaf, held only for the queue and the counts, never
// across I/O, an engine call or a log line.
#pragma once

#include "base/Mutex.h"
#include "base/UniqueHandle.h"
#include "contracts/RuxExtensions.h"
#include "plugin/ExchangeGate.h"
#include "plugin/ReplyQueue.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

class ReplyPool {
public:
    static constexpr unsigned ReplyThreads = 4;
    static constexpr uint32_t ExchangeMs = 2000;

    // Throws std::bad_alloc when its event cannot be made.
    explicit ReplyPool(ExchangeGate& gate);
    ~ReplyPool();
    ReplyPool(const ReplyPool&) = delete;
    ReplyPool& operator=(const ReplyPool&) = delete;

    // Whether an answer from `sender` to `sink` would be taken now: the drain
    // asks before it reads the engine. False after a level-3 line.
    bool Admits(const RuxCallSender& sender, const std::string& sink) OLV_EXCLUDES(mutex_);
    // Queues `job` for a reply thread; false after a level-3 line when a
    // bound refuses it (the job is then released). May throw std::bad_alloc.
    bool Hand(ReplyJob job) OLV_EXCLUDES(mutex_);
    // Drops what is queued and joins the threads, whose replies in flight end
    // at their deadline or at the gate's cancel. Idempotent.
    void Stop() OLV_EXCLUDES(mutex_);

private:
    using Queued = ReplyQueue::Entry;
    enum class Outcome { Sent, Failed, NotTried };

    // Why nothing may be queued for `process` to `target` now; null when it may.
    const wchar_t* RefusalLocked(DWORD process, const std::string& target, size_t bytes, ULONGLONG now,
                                 ULONGLONG& number) OLV_REQUIRES(mutex_);
    void Serve() noexcept OLV_EXCLUDES(mutex_);
    // The next reply a thread may send: false when the pool stops. `dropped`
    // says that the reply's target failed meanwhile, `agoMs` how long ago.
    bool Take(Queued& taken, bool& dropped, ULONGLONG& agoMs) OLV_EXCLUDES(mutex_);
    Outcome Send(ReplyJob& job);
    // Counts a reply out; `failed` holds its target back (ReplyBackoff).
    void Finish(const Queued& done, bool wasInFlight, bool failed) OLV_EXCLUDES(mutex_);
    // Logs a refusal of a reply from `process` to `sink` at level 3.
    static void LogRefusal(const wchar_t* refusal, const std::string& sink, DWORD process, ULONGLONG number);

    ExchangeGate& gate_;
    UniqueEvent wake_;  // manual-reset: set when a reply may have become sendable, or on Stop
    // The owner's thread alone starts and joins them.
    std::vector<std::thread> threads_;

    Mutex mutex_;  // guards everything below
    bool stopping_ OLV_GUARDED_BY(mutex_) = false;
    ReplyQueue queue_ OLV_GUARDED_BY(mutex_);
};
