#include "rux/sink/Sink.h"

#include "rux/security/PeerIdentity.h"
#include "rux/sink/SinkConnection.h"
#include "rux/wire/SinkName.h"
#include "rux/Trace.h"

#include <algorithm>
#include <new>

namespace rux {
namespace {

constexpr DWORD PipeBufferBytes = 64 * 1024;
// A worker that finishes a client while this many others listen ends.
constexpr int SpareListeners = 3;

thread_local bool InWorker = false;

// The handles of one worker, closed on every way out of it.
struct WorkerHandles {
    UniquePipe instance;
    UniqueEvent connectEvent{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    UniqueEvent readEvent{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    UniqueEvent writeEvent{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    // Ends the I/O of the connection served (Stop, or an eviction); reset
    // before each client.
    UniqueEvent cancelEvent{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::vector<unsigned char> buffer{};  // the connections' read buffer, made by the first

    bool Valid() const
    {
        return instance.valid() && connectEvent.valid() && readEvent.valid() && writeEvent.valid() &&
               cancelEvent.valid();
    }
};

// What this process learned of the first-instance flag, with its first sink:
// whether the platform refuses a second first instance of a name.
enum class FirstInstanceRule { Unknown, Honoured, Ignored };
std::atomic<FirstInstanceRule> FirstInstance{FirstInstanceRule::Unknown};

// A duplicate of the application's `event` for this library to keep (empty
// for a null event); false with the last error when it cannot be made.
bool DuplicateEvent(HANDLE event, UniqueEvent& duplicate)
{
    return !event || DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), duplicate.put(), 0, FALSE,
                                     DUPLICATE_SAME_ACCESS);
}

}  // namespace

// An admitted client, counted until its connection ends.
class Sink::Admission {
public:
    Admission(Sink& sink, AdmittedList::iterator entry) : sink_(sink), entry_(entry) {}
    ~Admission()
    {
        if (!ended_)
            sink_.Leave(entry_);
    }
    Admission(const Admission&) = delete;
    Admission& operator=(const Admission&) = delete;

    std::atomic<uint64_t>& LastFrame() { return entry_->lastFrame; }
    // Leaves early, telling whether the connection was evicted.
    Eviction End()
    {
        ended_ = true;
        return sink_.Leave(entry_);
    }

private:
    Sink& sink_;
    AdmittedList::iterator entry_;
    bool ended_ = false;
};

Sink::Sink(std::string name)
    : name_(std::move(name)), pipePath_(SinkName::PipePath(name_)), ownProcess_(GetCurrentProcessId())
{
}

std::shared_ptr<Sink> Sink::Start(const std::string& name, HANDLE event, DWORD& error)
{
    std::shared_ptr<Sink> sink(new Sink(name));
    if (!sink->security_.Build(name)) {
        error = GetLastError();
        return nullptr;
    }
    UniqueEvent duplicate;
    if (!DuplicateEvent(event, duplicate)) {
        error = GetLastError();
        return nullptr;
    }
    sink->stopEvent_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!sink->stopEvent_.valid()) {
        error = GetLastError();
        return nullptr;
    }
    // The first instance exists before Start returns, so a client may connect
    // as soon as the caller has the handle.
    UniquePipe first;
    if (!sink->Claim(first, error))
        return nullptr;
    {
        MutexHolder hold(sink->mutex_);
        sink->event_ = std::move(duplicate);
        if (!sink->StartWorkerLocked(std::move(first))) {
            error = ERROR_NOT_ENOUGH_MEMORY;
            return nullptr;
        }
    }
    Trace::Line("Rux: sink '%s' started", name.c_str());
    return sink;
}

bool Sink::Claim(UniquePipe& first, DWORD& error)
{
    if (NameServed()) {
        error = ERROR_ALREADY_EXISTS;
        return false;
    }
    FirstInstanceRule rule = FirstInstance.load();
    if (rule == FirstInstanceRule::Ignored && !TakeNameMutex(error))
        return false;
    UniquePipe made = CreateInstance(true);
    if (!made.valid()) {
        error = GetLastError();
        if (error == ERROR_ACCESS_DENIED) {
            // Windows: the name exists though nobody listens on it, which is
            // what the client ends of an earlier sink of the name leave while
            // they are open.
            Trace::Line("Rux: cannot start sink '%s': its pipe name still exists (clients of an earlier sink may "
                        "hold it open)",
                        name_.c_str());
            error = ERROR_ALREADY_EXISTS;
        }
        return false;
    }
    if (rule == FirstInstanceRule::Unknown) {
        // Where a second first instance of the name is refused, the flag holds
        // the name; where it is made (Wine), the flag is ignored and the
        // named mutex must hold it.
        UniquePipe second(CreateNamedPipeW(pipePath_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                           PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_REJECT_REMOTE_CLIENTS,
                                           MaxInstances, 0, 0, 0, nullptr));
        rule = !second.valid() && GetLastError() == ERROR_ACCESS_DENIED ? FirstInstanceRule::Honoured
                                                                         : FirstInstanceRule::Ignored;
        second.reset();
        FirstInstance.store(rule);
        if (rule == FirstInstanceRule::Ignored && !TakeNameMutex(error))
            return false;
    }
    first = std::move(made);
    return true;
}

bool Sink::NameServed()
{
    // Connected for the question only: nothing is written to it, and it
    // learns no more of us than who we are (identification level).
    UniquePipe client(CreateFileW(pipePath_.c_str(), PipeSecurity::ClientAccess, 0, nullptr, OPEN_EXISTING,
                                  SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    if (!client.valid()) {
        DWORD error = GetLastError();
        if (error != ERROR_PIPE_BUSY && error != ERROR_ACCESS_DENIED)
            return false;  // no server; the first instance tells the rest
        Trace::Line("Rux: cannot start sink '%s': its pipe is served already, by a process that cannot be told "
                    "(error %lu)",
                    name_.c_str(), error);
        return true;
    }
    DWORD process = 0;
    Sid user;
    DWORD error = PeerIdentity::Current().ServerUser(client.get(), process, user);
    if (error) {
        ULONG id = 0;
        GetNamedPipeServerProcessId(client.get(), &id);
        process = id;
    }
    Trace::Line("Rux: cannot start sink '%s': its pipe is served already, by process %lu as %s (error %lu)",
                name_.c_str(), process, user.Text().c_str(), error);
    return true;
}

bool Sink::TakeNameMutex(DWORD& error)
{
    // The mutex's existence is the claim on the name: it goes with the last
    // handle, that is with this sink or with the process that held it. One we
    // may not open is taken just the same.
    nameMutex_.reset(CreateMutexW(security_.ClaimAttributes(), FALSE, SinkName::MutexName(name_).c_str()));
    if (nameMutex_.valid() && GetLastError() != ERROR_ALREADY_EXISTS)
        return true;
    error = (nameMutex_.valid() || GetLastError() == ERROR_ACCESS_DENIED) ? ERROR_ALREADY_EXISTS : GetLastError();
    nameMutex_.reset();
    if (error == ERROR_ALREADY_EXISTS)
        Trace::Line("Rux: cannot start sink '%s': another process holds its claim", name_.c_str());
    return false;
}

Sink::~Sink()
{
    Stop();
}

bool Sink::OnWorkerThread()
{
    return InWorker;
}

bool Sink::Stopping(ULONGLONG& goingDeadline) const
{
    if (WaitForSingleObject(stopEvent_.get(), 0) != WAIT_OBJECT_0)
        return false;
    goingDeadline = goingDeadline_.load();
    return true;
}

UniquePipe Sink::CreateInstance(bool first)
{
    return UniquePipe(security_.CreateInstance([&](SECURITY_ATTRIBUTES* security, DWORD securityAccess) {
        return CreateNamedPipeW(
            pipePath_.c_str(),
            PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | securityAccess | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, MaxInstances,
            PipeBufferBytes, PipeBufferBytes, 0, security);
    }));
}

void Sink::Stop()
{
    std::list<Worker> workers;
    std::map<std::string, std::shared_ptr<SinkService>> services;
    {
        MutexHolder hold(mutex_);
        if (stopped_ || !stopEvent_.valid())
            return;
        stopped_ = true;
        goingDeadline_.store(GetTickCount64() + GoingWaitMs);
        SetEvent(stopEvent_.get());
        // The connections being served read on their own cancel events: each
        // says Going to its client and waits for it (SinkConnection).
        for (Admitted& connection : admitted_)
            SetEvent(connection.cancel);
        // Every thread, running or done, is this call's to join now; none is
        // started from now on.
        workers.splice(workers.end(), workers_);
        services.swap(services_);
    }
    for (Worker& worker : workers)
        worker.thread.join();
    for (auto& [name, service] : services)
        service->Stop();
    Trace::Line("Rux: sink '%s' stopped", name_.c_str());
}

std::shared_ptr<SinkService> Sink::AddService(const std::string& name, HANDLE event, DWORD& error)
{
    MutexHolder hold(mutex_);
    if (stopped_) {
        error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if (services_.count(name)) {
        error = ERROR_ALREADY_EXISTS;
        return nullptr;
    }
    UniqueEvent duplicate;
    if (!DuplicateEvent(event, duplicate)) {
        error = GetLastError();
        return nullptr;
    }
    auto service = std::make_shared<SinkService>(name_, name, nextServiceId_++, duplicate.get());
    // The service owns the duplicate from here on; had it not been made, the
    // duplicate would have closed on the way out.
    static_cast<void>(duplicate.release());
    services_[name] = service;
    return service;
}

void Sink::RemoveService(const std::shared_ptr<SinkService>& service)
{
    MutexHolder hold(mutex_);
    auto found = services_.find(service->Name());
    if (found != services_.end() && found->second == service)
        services_.erase(found);
}

std::shared_ptr<SinkService> Sink::FindService(uint32_t id)
{
    MutexHolder hold(mutex_);
    for (auto& [name, service] : services_) {
        if (service->Id() == id)
            return service;
    }
    return nullptr;
}

std::shared_ptr<SinkService> Sink::FindService(const std::string& name)
{
    MutexHolder hold(mutex_);
    auto found = services_.find(name);
    return found == services_.end() ? nullptr : found->second;
}

void Sink::SignalPeer()
{
    MutexHolder hold(mutex_);
    if (event_.valid() && !stopped_)
        SetEvent(event_.get());
}

bool Sink::StartWorkerLocked(UniquePipe instance)
{
    try {
        workers_.emplace_back();
    } catch (const std::bad_alloc&) {
        return false;
    }
    Worker* worker = &workers_.back();
    try {
        worker->thread = std::thread(&Sink::WorkerEntry, this, worker, std::move(instance));
    } catch (...) {
        workers_.pop_back();
        return false;
    }
    ++listening_;
    return true;
}

void Sink::JoinDone()
{
    std::list<Worker> done;
    {
        MutexHolder hold(mutex_);
        for (auto it = workers_.begin(); it != workers_.end();) {
            auto next = std::next(it);
            if (it->done)
                done.splice(done.end(), workers_, it);
            it = next;
        }
    }
    // They have made their last act: the joins do not wait for long.
    for (Worker& worker : done)
        worker.thread.join();
}

bool Sink::List(DWORD process, uint64_t number)
{
    auto listed = std::make_shared<Listed>();
    MutexHolder hold(mutex_);
    return listed_.emplace(std::make_pair(process, number), std::move(listed)).second;
}

void Sink::Unlist(DWORD process, uint64_t number) noexcept
{
    std::shared_ptr<Listed> ended;
    HANDLE event = nullptr;
    {
        MutexHolder hold(mutex_);
        auto found = listed_.find(std::make_pair(process, number));
        if (found == listed_.end())
            return;
        ended = std::move(found->second);
        listed_.erase(found);
        event = ended->ended.get();
    }
    if (event)
        SetEvent(event);
}

bool Sink::AwaitEnded(DWORD process, const std::vector<uint64_t>& numbers, DWORD timeoutMs)
{
    ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (uint64_t number : numbers) {
        std::shared_ptr<Listed> listed;
        HANDLE ended = nullptr;
        {
            MutexHolder hold(mutex_);
            auto found = listed_.find(std::make_pair(process, number));
            if (found == listed_.end())
                continue;
            // Rarely needed (the connection has usually ended by the time the
            // next one opens): made here rather than for every connection.
            listed = found->second;
            if (!listed->ended.valid())
                listed->ended.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
            ended = listed->ended.get();
        }
        ULONGLONG now = GetTickCount64();
        HANDLE waits[2] = {ended, stopEvent_.get()};
        if (!ended || now >= deadline ||
            WaitForMultipleObjects(2, waits, FALSE, static_cast<DWORD>(deadline - now)) != WAIT_OBJECT_0)
            return false;
    }
    return true;
}

const char* Sink::Admit(DWORD process, HANDLE cancel, AdmittedList::iterator& entry)
{
    // Allocated first: an admission that cannot be recorded changes nothing.
    AdmittedList made;
    made.emplace_back();
    made.back().process = process;
    made.back().cancel = cancel;
    made.back().lastFrame.store(NextActivity());
    MutexHolder hold(mutex_);
    if (stopped_)
        return "the sink is stopping";
    if (process != ownProcess_) {
        auto found = perProcess_.find(process);
        DWORD held = found == perProcess_.end() ? 0 : found->second;
        if (held >= MaxConnectionsPerProcess)
            return "the process holds as many connections as one process may";
        if (admitted_.size() + OwnerReserve >= MaxInstances) {
            if (held != 0)
                return "only the instances reserved for the sink's own process are left";
            // A process that holds nothing is let in: the sink makes room.
            // Its count's place is made first, so that nothing can fail
            // after the eviction.
            auto counted = perProcess_.try_emplace(process, 0).first;
            if (!EvictForLocked(process)) {
                perProcess_.erase(counted);
                return "only the instances reserved for the sink's own process are left";
            }
        }
        ++perProcess_[process];
    }
    admitted_.splice(admitted_.end(), made);
    entry = std::prev(admitted_.end());
    return nullptr;
}

bool Sink::EvictForLocked(DWORD newcomer)
{
    // Of the processes that hold the most, the connection idle the longest.
    // What a process holds is counted for each candidate, those already
    // being closed left out: quadratic in at most MaxInstances connections,
    // and nothing allocated.
    Admitted* victim = nullptr;
    DWORD victimHeld = 0;
    for (Admitted& connection : admitted_) {
        if (connection.evicted || connection.process == ownProcess_ || connection.process == newcomer)
            continue;
        DWORD held = 0;
        for (const Admitted& other : admitted_)
            held += !other.evicted && other.process == connection.process;
        if (!victim || held > victimHeld ||
            (held == victimHeld && connection.lastFrame.load() < victim->lastFrame.load())) {
            victim = &connection;
            victimHeld = held;
        }
    }
    if (!victim)
        return false;
    victim->evicted = true;
    victim->newcomer = newcomer;
    victim->held = victimHeld;
    SetEvent(victim->cancel);
    return true;
}

Sink::Eviction Sink::Leave(AdmittedList::iterator entry)
{
    Eviction eviction;
    MutexHolder hold(mutex_);
    if (entry->evicted) {
        eviction.process = entry->process;
        eviction.held = entry->held;
        eviction.newcomer = entry->newcomer;
    }
    auto found = perProcess_.find(entry->process);
    if (entry->process != ownProcess_ && found != perProcess_.end() && --found->second == 0)
        perProcess_.erase(found);
    admitted_.erase(entry);
    return eviction;
}

void Sink::WorkerEntry(Worker* self, UniquePipe instance) noexcept
{
    InWorker = true;
    bool listening = true;  // counted in listening_ by StartWorkerLocked
    try {
        WorkerLoop(std::move(instance), listening);
    } catch (...) {
        // Only a failure outside a connection gets here (a thread or an
        // allocation that could not be made): this worker ends, as it would
        // when enough others listen.
    }
    MutexHolder hold(mutex_);
    if (listening)
        --listening_;
    self->done = true;
}

void Sink::WorkerLoop(UniquePipe instance, bool& listening)
{
    WorkerHandles handles{std::move(instance)};
    if (!handles.instance.valid())
        handles.instance = CreateInstance(false);
    if (!handles.Valid()) {
        Trace::Line("Rux: sink '%s': cannot start a pipe instance (error %lu)", name_.c_str(), GetLastError());
        return;
    }
    for (;;) {
        BOOL connected = FALSE;
        DWORD error = 0;
        if (!Listen(handles.instance.get(), handles.connectEvent.get(), connected, error))
            return;
        bool spareFailed = false;
        {
            MutexHolder hold(mutex_);
            --listening_;
            listening = false;
            if (stopped_)
                return;
            // Nobody else listens: start a spare before serving, so the next
            // client finds an instance.
            if (listening_ == 0)
                spareFailed = !StartWorkerLocked(UniquePipe());
        }
        if (spareFailed)
            Trace::Line("Rux: sink '%s': cannot start a worker thread", name_.c_str());
        // A client that came and went before we saw it leaves ERROR_NO_DATA:
        // only the disconnect below is needed.
        Eviction eviction;
        if (connected || error == ERROR_PIPE_CONNECTED) {
            eviction = ServeClient(handles.instance.get(), handles.readEvent.get(), handles.writeEvent.get(),
                                   handles.cancelEvent.get(), handles.buffer);
        } else if (error != ERROR_NO_DATA) {
            Trace::Line("Rux: sink '%s': listening failed (error %lu)", name_.c_str(), error);
            // Not a client's doing: pause rather than spin on it.
            if (WaitForSingleObject(stopEvent_.get(), 100) == WAIT_OBJECT_0)
                return;
        }
        DisconnectNamedPipe(handles.instance.get());
        // Traced once the connection is gone, and its instance free again.
        if (eviction.process)
            Trace::Line("Rux: sink '%s': closed the longest-idle connection of process %lu, which held %lu, to let "
                        "in process %lu",
                        name_.c_str(), eviction.process, eviction.held, eviction.newcomer);
        JoinDone();
        MutexHolder hold(mutex_);
        if (stopped_ || listening_ >= SpareListeners)
            return;
        ++listening_;
        listening = true;
    }
}

bool Sink::Listen(HANDLE instance, HANDLE connectEvent, BOOL& connected, DWORD& error)
{
    // The pipe carries the served session's DACL before this instance waits
    // for a client, and again after a change while it waits: an instance that
    // listens from before a logon must let the new user in.
    security_.Refresh(instance);
    OVERLAPPED overlapped = {};
    overlapped.hEvent = connectEvent;
    connected = ConnectNamedPipe(instance, &overlapped);
    error = connected ? 0 : GetLastError();
    if (connected || error != ERROR_IO_PENDING)
        return true;
    DWORD period = security_.FollowsSession() ? SessionRecheckMs : INFINITE;
    HANDLE waits[2] = {connectEvent, stopEvent_.get()};
    DWORD wait;
    while ((wait = WaitForMultipleObjects(2, waits, FALSE, period)) == WAIT_TIMEOUT)
        security_.Refresh(instance);
    DWORD bytes = 0;
    if (wait != WAIT_OBJECT_0) {
        CancelIoEx(instance, &overlapped);
        GetOverlappedResult(instance, &overlapped, &bytes, TRUE);
        return false;
    }
    connected = GetOverlappedResult(instance, &overlapped, &bytes, FALSE);
    error = connected ? 0 : GetLastError();
    return true;
}

Sink::Eviction Sink::ServeClient(HANDLE instance, HANDLE readEvent, HANDLE writeEvent, HANDLE cancelEvent,
                                 std::vector<unsigned char>& buffer)
{
    DWORD process = 0;
    try {
        // Who the client is comes first (its session, user and integrity; the
        // check traces its own refusal), then how many instances its process
        // may hold.
        auto sender = std::make_shared<CallSender>();
        if (!security_.Admit(instance, *sender))
            return Eviction();
        GetNamedPipeClientProcessId(instance, &sender->process);
        ResetEvent(cancelEvent);
        SinkConnection connection(*this, instance, readEvent, writeEvent, cancelEvent, std::move(sender));
        process = connection.ClientProcess();
        AdmittedList::iterator entry;
        if (const char* refusal = Admit(process, cancelEvent, entry)) {
            uint64_t heldBack = 0;
            if (refusals_.Allow(heldBack))
                Trace::Line("Rux: sink '%s': refused a client of process %lu: %s%s", name_.c_str(), process, refusal,
                            TraceLimiter::HeldBackNote(heldBack).c_str());
            return Eviction();
        }
        Admission admitted(*this, entry);
        connection.Serve(buffer, admitted.LastFrame());
        return admitted.End();
    } catch (const std::bad_alloc&) {
        Trace::Line("Rux: sink '%s': out of memory serving process %lu, connection closed", name_.c_str(), process);
    } catch (...) {
        Trace::Line("Rux: sink '%s': error serving process %lu, connection closed", name_.c_str(), process);
    }
    return Eviction();
}

}  // namespace rux
