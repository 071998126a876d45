#include "rux/sink/Sink.h"

#include "rux/sink/SinkConnection.h"
#include "rux/wire/SinkName.h"
#include "rux/Trace.h"

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
    std::vector<unsigned char> buffer{};  // the connections' read buffer, made by the first

    bool Valid() const { return instance.valid() && connectEvent.valid() && readEvent.valid() && writeEvent.valid(); }
};

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
    Admission(Sink& sink, DWORD process) : sink_(sink), process_(process) {}
    ~Admission() { sink_.Leave(process_); }
    Admission(const Admission&) = delete;
    Admission& operator=(const Admission&) = delete;

private:
    Sink& sink_;
    DWORD process_;
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
    // The mutex's existence is the claim on the name: it goes with the last
    // handle, that is with this sink or with the process that held it. One we
    // may not open is taken just the same.
    sink->nameMutex_.reset(
        CreateMutexW(sink->security_.ClaimAttributes(), FALSE, SinkName::MutexName(name).c_str()));
    if (!sink->nameMutex_.valid() || GetLastError() == ERROR_ALREADY_EXISTS) {
        error = (sink->nameMutex_.valid() || GetLastError() == ERROR_ACCESS_DENIED) ? ERROR_ALREADY_EXISTS
                                                                                     : GetLastError();
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
    UniquePipe first = sink->CreateInstance(true);
    if (!first.valid()) {
        error = GetLastError() == ERROR_ACCESS_DENIED ? ERROR_ALREADY_EXISTS : GetLastError();
        return nullptr;
    }
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

Sink::~Sink()
{
    Stop();
}

bool Sink::OnWorkerThread()
{
    return InWorker;
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
        SetEvent(stopEvent_.get());
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

const char* Sink::Admit(DWORD process)
{
    MutexHolder hold(mutex_);
    if (process != ownProcess_) {
        if (admitted_ + OwnerReserve >= MaxInstances)
            return "only the instances reserved for the sink's own process are left";
        auto found = perProcess_.find(process);
        if (found != perProcess_.end() && found->second >= MaxConnectionsPerProcess)
            return "the process holds as many connections as one process may";
        ++perProcess_[process];
    }
    ++admitted_;
    return nullptr;
}

void Sink::Leave(DWORD process)
{
    MutexHolder hold(mutex_);
    --admitted_;
    auto found = perProcess_.find(process);
    if (process != ownProcess_ && found != perProcess_.end() && --found->second == 0)
        perProcess_.erase(found);
}

void Sink::WorkerEntry(Worker* self, UniquePipe instance) noexcept
{
    InWorker = true;
    bool listening = true;  // counted in listening_ by StartWorkerLocked
    try {
        WorkerLoop(std::move(instance), listening);
    } catch (...) {
        // Only a failure outside a connection gets here (the application's
        // trace callback throwing, say): this worker ends, as it would when
        // enough others listen.
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
        OVERLAPPED overlapped = {};
        overlapped.hEvent = handles.connectEvent.get();
        BOOL connected = ConnectNamedPipe(handles.instance.get(), &overlapped);
        DWORD error = connected ? 0 : GetLastError();
        if (!connected && error == ERROR_IO_PENDING) {
            HANDLE waits[2] = {handles.connectEvent.get(), stopEvent_.get()};
            DWORD wait = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
            DWORD bytes = 0;
            if (wait != WAIT_OBJECT_0) {
                CancelIoEx(handles.instance.get(), &overlapped);
                GetOverlappedResult(handles.instance.get(), &overlapped, &bytes, TRUE);
                return;
            }
            connected = GetOverlappedResult(handles.instance.get(), &overlapped, &bytes, FALSE);
            error = connected ? 0 : GetLastError();
        }
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
        if (connected || error == ERROR_PIPE_CONNECTED) {
            ServeClient(handles.instance.get(), handles.readEvent.get(), handles.writeEvent.get(), handles.buffer);
        } else if (error != ERROR_NO_DATA) {
            Trace::Line("Rux: sink '%s': listening failed (error %lu)", name_.c_str(), error);
            // Not a client's doing: pause rather than spin on it.
            if (WaitForSingleObject(stopEvent_.get(), 100) == WAIT_OBJECT_0)
                return;
        }
        DisconnectNamedPipe(handles.instance.get());
        JoinDone();
        MutexHolder hold(mutex_);
        if (stopped_ || listening_ >= SpareListeners)
            return;
        ++listening_;
        listening = true;
    }
}

void Sink::ServeClient(HANDLE instance, HANDLE readEvent, HANDLE writeEvent, std::vector<unsigned char>& buffer)
{
    DWORD process = 0;
    try {
        // Who the client is comes first (its session and user; the check traces
        // its own refusal), then how many instances its process may hold.
        auto sender = std::make_shared<CallSender>();
        if (!security_.Admit(instance, *sender))
            return;
        GetNamedPipeClientProcessId(instance, &sender->process);
        process = sender->process;
        SinkConnection connection(*this, instance, readEvent, writeEvent, std::move(sender));
        if (const char* refusal = Admit(process)) {
            Trace::Line("Rux: sink '%s': refused a client of process %lu: %s", name_.c_str(), process, refusal);
            return;
        }
        Admission admitted(*this, process);
        connection.Serve(buffer);
    } catch (const std::bad_alloc&) {
        Trace::Line("Rux: sink '%s': out of memory serving process %lu, connection closed", name_.c_str(), process);
    } catch (...) {
        Trace::Line("Rux: sink '%s': error serving process %lu, connection closed", name_.c_str(), process);
    }
}

}  // namespace rux
