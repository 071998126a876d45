// One of our sinks: the named pipe that other processes connect to, the
// worker threads that serve their connections, and the services they reach.
//
// Each worker owns one pipe instance: it listens on it, serves the client that
// connects on its own thread (no hand-over, no thread start on the way), then
// listens again. A worker that takes a client while no other one listens
// starts a spare first; a worker that finishes while three others listen
// ends. So a listening instance is nearly always there, and the one-at-a-time
// connections of status pushes reuse the same few threads even when a client
// reconnects before the worker has seen its last close. Before an instance
// listens, and every SessionRecheckMs while it listens, the pipe's DACL is
// brought up to the served session (PipeSecurity::Refresh).
//
// Thread ownership: the sink owns every worker thread, in `workers_`, from its
// start to its join. A worker's last act, under `mutex_`, is to mark itself
// done; from then on it touches nothing of the sink. Done workers are joined
// by another worker between two clients (JoinDone), never by themselves, and
// Stop joins all the others. A thread leaves `workers_` only into the list of
// the one that joins it. No exception leaves a worker's entry: a failure while
// serving closes that connection, one outside a connection ends that worker.
//
// Admission, after a client connected and before anything it sends is read
// (the sink learns its process from GetNamedPipeClientProcessId):
//   MaxInstances (64)              pipe instances of the sink, one worker each
//   OwnerReserve (4)               instances that only a client of the sink's
//                                  own process may take: another process is
//                                  refused once no more than these are free,
//   ... unless it holds none:      then the longest-idle connection (the one
//                                  whose last frame is the oldest) of the
//                                  process that holds the most is closed to
//                                  let it in, with a trace line; so no group
//                                  of processes can keep a newcomer out
//   MaxConnectionsPerProcess (16)  connections one other process may hold;
//                                  the sink's own process is not counted
//   HandshakeTimeoutMs (5000)      an admitted client that has not said Hello
//                                  (or Open) by then is disconnected
//                                  (SinkConnection)
//   AwaitEndTimeoutMs (2000)       the longest an Open waits for the
//                                  connections it names to end (Frame.h); it
//                                  is answered after that all the same
//   SessionRecheckMs (1000)        how often a listening instance of a
//                                  service's sink looks at the served session
//   GoingWaitMs (500)              how long a stopping sink waits, for all its
//                                  clients together, for them to close their
//                                  ends after its Going (Frame.h)
// A refused client is disconnected at once with a trace line; at most
// RefusalLines of those per RefusalPeriodMs (PipeSecurity.h) are traced, the
// others counted. So idle or hostile clients can neither hold every instance
// nor lock out the sink's owner or a newcomer, and one process cannot crowd
// out the others.
//
// Numbered connections: a plain connection numbers itself in its Open, and is
// listed (by client process and number) until its end, when everything it
// carried has been queued. A later Open of the same process that names it
// waits for that end (AwaitEnded); only the same process's numbers count, so
// no client can hold up another.
//
// Single ownership of a name. Windows keeps a pipe's name while any server or
// client end of it is open, and FILE_FLAG_FIRST_PIPE_INSTANCE on the first
// instance then fails (ERROR_ACCESS_DENIED): that flag is the claim, atomic,
// and nothing but a server or a client of the pipe can hold it. No named
// mutex is used there: a global one is a name any user may create first, and
// so keep the sink from starting. Wine ignores the flag (a second server of a
// name succeeds) and drops a name with its last server handle: where the
// first sink of a process finds the flag ignored, the claim is also the named
// mutex Global\Rux.Sink.NAME, held as long as the sink. (A private namespace
// bounded by the sink's user would keep that name from being squatted too,
// but Wine has none: CreateBoundaryDescriptorW fails there and
// AddSIDToBoundaryDescriptor is missing.) Before either, a server already on
// the name is looked for; its process and user are traced.
// As a client end keeps the name on Windows, a stopping sink says Going to
// each client it serves, and our clients close their ends at once
// (ConnectionWatch); its next start then finds the name free.
//
// Stop order: stop event and the connections' cancel events, worker threads
// (each says Going and waits for its client), services, then the handles they
// used.
#pragma once

#include "base/Mutex.h"
#include "base/UniqueHandle.h"
#include "rux/security/PipeSecurity.h"
#include "rux/sink/SinkService.h"
#include "rux/TraceLimiter.h"

#include <windows.h>

#include <atomic>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace rux {

constexpr DWORD MaxInstances = 64;
constexpr DWORD OwnerReserve = 4;
constexpr DWORD MaxConnectionsPerProcess = 16;
constexpr DWORD HandshakeTimeoutMs = 5000;
constexpr DWORD AwaitEndTimeoutMs = 2000;
constexpr DWORD SessionRecheckMs = 1000;
constexpr DWORD GoingWaitMs = 500;

class Sink {
public:
    // Starts the sink; null with `error` set when the name is taken
    // (ERROR_ALREADY_EXISTS) or the pipe cannot be created. `event` is
    // duplicated: the caller keeps its own.
    static std::shared_ptr<Sink> Start(const std::string& name, HANDLE event, DWORD& error);
    ~Sink();
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    // Joins every thread of the sink and closes its pipes; idempotent. Must
    // not run on one of the sink's own threads (see OnWorkerThread). Takes
    // up to GoingWaitMs more while clients keep their ends open.
    void Stop() OLV_EXCLUDES(mutex_);
    // True on a worker thread of any sink: the trace callback runs there, and
    // such a thread cannot wait for the sink's threads to end.
    static bool OnWorkerThread();

    // Null with `error` when the name is in use or the sink is stopped.
    std::shared_ptr<SinkService> AddService(const std::string& name, HANDLE event, DWORD& error)
        OLV_EXCLUDES(mutex_);
    void RemoveService(const std::shared_ptr<SinkService>& service) OLV_EXCLUDES(mutex_);

    // Used by the connection threads.
    const std::string& Name() const { return name_; }
    HANDLE StopEvent() const { return stopEvent_.get(); }
    // Once Stop began: the time by which the clients should have closed
    // their ends (GetTickCount64).
    bool Stopping(ULONGLONG& goingDeadline) const;
    // The sink's activity count, one higher at each call: what a connection
    // notes at each frame, so that the longest idle has the lowest.
    uint64_t NextActivity() { return ++activity_; }
    std::shared_ptr<SinkService> FindService(uint32_t id) OLV_EXCLUDES(mutex_);
    std::shared_ptr<SinkService> FindService(const std::string& name) OLV_EXCLUDES(mutex_);
    void SignalPeer() OLV_EXCLUDES(mutex_);
    // Lists connection `number` of `process` until Unlisted; false (and not
    // listed) for a number the process already has listed. Throws
    // std::bad_alloc.
    bool List(DWORD process, uint64_t number) OLV_EXCLUDES(mutex_);
    void Unlist(DWORD process, uint64_t number) noexcept OLV_EXCLUDES(mutex_);
    // Waits until none of `numbers` of `process` is listed, up to `timeoutMs`
    // in all; false when that time passed, the sink stopped or no event could
    // be made to wait on.
    bool AwaitEnded(DWORD process, const std::vector<uint64_t>& numbers, DWORD timeoutMs) OLV_EXCLUDES(mutex_);

private:
    struct Worker {
        std::thread thread;
        bool done = false;  // set under mutex_ as the thread's last act
    };
    // A listed connection. Its event is made by the first waiter, under
    // mutex_ and while listed, and set once the connection is unlisted; the
    // waiters' shared owners keep it until they are done with it.
    struct Listed {
        UniqueEvent ended;
    };
    // An admitted connection, from Admit to the end of its connection.
    struct Admitted {
        DWORD process = 0;
        HANDLE cancel = nullptr;             // its worker's: set, it ends the connection's I/O
        std::atomic<uint64_t> lastFrame{0};  // NextActivity at its admission or its last frame
        // Set under mutex_ when it is closed to let another process in.
        bool evicted = false;
        DWORD newcomer = 0;  // that process
        DWORD held = 0;      // the connections its own process held then
    };
    using AdmittedList = std::list<Admitted>;
    class Admission;
    // What ServeClient leaves to trace once the connection is gone.
    struct Eviction {
        DWORD process = 0;  // 0: the connection was not evicted
        DWORD held = 0;
        DWORD newcomer = 0;
    };

    explicit Sink(std::string name);
    // Takes the name (see above) and creates the first instance into
    // `first`; false with `error` otherwise.
    bool Claim(UniquePipe& first, DWORD& error);
    // True (after a trace line) when a server already serves the name.
    bool NameServed();
    // The named mutex, where the platform ignores the first-instance flag.
    bool TakeNameMutex(DWORD& error);
    UniquePipe CreateInstance(bool first);
    // Starts a worker on `instance` (empty: it makes its own). Called with
    // mutex_ held; false when no thread could be started (`instance` is then
    // closed).
    bool StartWorkerLocked(UniquePipe instance) OLV_REQUIRES(mutex_);
    void WorkerEntry(Worker* self, UniquePipe instance) noexcept OLV_EXCLUDES(mutex_);
    void WorkerLoop(UniquePipe instance, bool& listening) OLV_EXCLUDES(mutex_);
    // Waits for a client on `instance`; false when the sink stops.
    bool Listen(HANDLE instance, HANDLE connectEvent, BOOL& connected, DWORD& error) OLV_EXCLUDES(mutex_);
    Eviction ServeClient(HANDLE instance, HANDLE readEvent, HANDLE writeEvent, HANDLE cancelEvent,
                         std::vector<unsigned char>& buffer) OLV_EXCLUDES(mutex_);
    // Joins the workers that are done; never the caller, which is not done.
    void JoinDone() OLV_EXCLUDES(mutex_);
    // Null when `process` may take a connection (`entry` then counts it until
    // Leave), or why it may not. `cancel` ends the connection when set.
    // Throws std::bad_alloc (nothing changed then).
    const char* Admit(DWORD process, HANDLE cancel, AdmittedList::iterator& entry) OLV_EXCLUDES(mutex_);
    // Picks and cancels the connection to close for `newcomer`; false when
    // there is none. Throws std::bad_alloc (nothing changed then).
    bool EvictForLocked(DWORD newcomer) OLV_REQUIRES(mutex_);
    Eviction Leave(AdmittedList::iterator entry) OLV_EXCLUDES(mutex_);

    const std::string name_;
    std::wstring pipePath_;
    PipeSecurity security_;
    UniqueMutex nameMutex_;  // only where the platform ignores the first-instance flag
    UniqueEvent event_ OLV_GUARDED_BY(mutex_);
    UniqueEvent stopEvent_;
    const DWORD ownProcess_;
    std::atomic<ULONGLONG> goingDeadline_{0};  // set by Stop before the stop event
    std::atomic<uint64_t> activity_{0};
    TraceLimiter refusals_{PipeSecurity::RefusalLines, PipeSecurity::RefusalPeriodMs};

    Mutex mutex_;  // guards everything below, and the use of event_
    bool stopped_ OLV_GUARDED_BY(mutex_) = false;
    uint32_t nextServiceId_ OLV_GUARDED_BY(mutex_) = 1;
    int listening_ OLV_GUARDED_BY(mutex_) = 0;  // workers waiting for a client
    std::map<std::string, std::shared_ptr<SinkService>> services_ OLV_GUARDED_BY(mutex_);
    std::list<Worker> workers_ OLV_GUARDED_BY(mutex_);
    AdmittedList admitted_ OLV_GUARDED_BY(mutex_);              // connections admitted and not yet ended
    std::map<DWORD, DWORD> perProcess_ OLV_GUARDED_BY(mutex_);  // ... of each other process
    std::map<std::pair<DWORD, uint64_t>, std::shared_ptr<Listed>> listed_ OLV_GUARDED_BY(mutex_);
};

}  // namespace rux
