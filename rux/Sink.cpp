#include "rux/Sink.h"

#include "rux/SinkConnection.h"
#include "rux/SinkName.h"
#include "rux/Trace.h"

namespace rux {
namespace {

constexpr DWORD PipeBufferBytes = 64 * 1024;
// Each instance has a worker thread: clients beyond this many at once wait
// for a free instance (and give up after their connect time-out).
constexpr DWORD MaxInstances = 64;

}  // namespace

Sink::Sink(std::string name) : name_(std::move(name)), pipePath_(SinkName::PipePath(name_)) {}

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
    sink->nameMutex_ = CreateMutexW(sink->security_.ClaimAttributes(), FALSE, SinkName::MutexName(name).c_str());
    if (!sink->nameMutex_ || GetLastError() == ERROR_ALREADY_EXISTS) {
        error = (sink->nameMutex_ || GetLastError() == ERROR_ACCESS_DENIED) ? ERROR_ALREADY_EXISTS : GetLastError();
        return nullptr;
    }
    if (event && !DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &sink->event_, 0, FALSE,
                                  DUPLICATE_SAME_ACCESS)) {
        error = GetLastError();
        return nullptr;
    }
    sink->stopEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!sink->stopEvent_) {
        error = GetLastError();
        return nullptr;
    }
    // The first instance exists before Start returns, so a client may connect
    // as soon as the caller has the handle.
    HANDLE first = sink->CreateInstance(true);
    if (first == INVALID_HANDLE_VALUE) {
        error = GetLastError() == ERROR_ACCESS_DENIED ? ERROR_ALREADY_EXISTS : GetLastError();
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> hold(sink->mutex_);
        if (!sink->StartWorkerLocked(first)) {
            CloseHandle(first);
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
    for (HANDLE* handle : {&event_, &stopEvent_, &nameMutex_}) {
        if (*handle)
            CloseHandle(*handle);
        *handle = nullptr;
    }
}

HANDLE Sink::CreateInstance(bool first)
{
    return security_.CreateInstance([&](SECURITY_ATTRIBUTES* security, DWORD securityAccess) {
        return CreateNamedPipeW(
            pipePath_.c_str(),
            PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | securityAccess | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, MaxInstances,
            PipeBufferBytes, PipeBufferBytes, 0, security);
    });
}

void Sink::Stop()
{
    std::list<Worker> workers;
    std::map<std::string, std::shared_ptr<SinkService>> services;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (stopped_ || !stopEvent_)
            return;
        stopped_ = true;
        SetEvent(stopEvent_);
        // Stopped: no worker starts another one from now on.
        workers.swap(workers_);
        services.swap(services_);
    }
    for (Worker& worker : workers) {
        if (worker.thread.joinable())
            worker.thread.join();
    }
    for (auto& [name, service] : services)
        service->Stop();
    Trace::Line("Rux: sink '%s' stopped", name_.c_str());
}

std::shared_ptr<SinkService> Sink::AddService(const std::string& name, HANDLE event, DWORD& error)
{
    std::lock_guard<std::mutex> hold(mutex_);
    if (stopped_) {
        error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if (services_.count(name)) {
        error = ERROR_ALREADY_EXISTS;
        return nullptr;
    }
    HANDLE duplicate = nullptr;
    if (event && !DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &duplicate, 0, FALSE,
                                  DUPLICATE_SAME_ACCESS)) {
        error = GetLastError();
        return nullptr;
    }
    auto service = std::make_shared<SinkService>(name_, name, nextServiceId_++, duplicate);
    services_[name] = service;
    return service;
}

void Sink::RemoveService(const std::shared_ptr<SinkService>& service)
{
    std::lock_guard<std::mutex> hold(mutex_);
    auto found = services_.find(service->Name());
    if (found != services_.end() && found->second == service)
        services_.erase(found);
}

std::shared_ptr<SinkService> Sink::FindService(uint32_t id)
{
    std::lock_guard<std::mutex> hold(mutex_);
    for (auto& [name, service] : services_) {
        if (service->Id() == id)
            return service;
    }
    return nullptr;
}

std::shared_ptr<SinkService> Sink::FindService(const std::string& name)
{
    std::lock_guard<std::mutex> hold(mutex_);
    auto found = services_.find(name);
    return found == services_.end() ? nullptr : found->second;
}

void Sink::SignalPeer()
{
    std::lock_guard<std::mutex> hold(mutex_);
    if (event_ && !stopped_)
        SetEvent(event_);
}

bool Sink::StartWorkerLocked(HANDLE instance)
{
    workers_.emplace_back();
    Worker* worker = &workers_.back();
    try {
        worker->thread = std::thread(&Sink::WorkerLoop, this, worker, instance);
    } catch (...) {
        workers_.pop_back();
        return false;
    }
    ++listening_;
    return true;
}

void Sink::ReapLocked(std::list<Worker>& finished)
{
    for (auto it = workers_.begin(); it != workers_.end();) {
        auto next = std::next(it);
        if (it->done)
            finished.splice(finished.end(), workers_, it);
        it = next;
    }
}

void Sink::WorkerLoop(Worker* self, HANDLE instance)
{
    HANDLE connectEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE readEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE writeEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (instance == INVALID_HANDLE_VALUE)
        instance = CreateInstance(false);
    bool ok = connectEvent && readEvent && writeEvent && instance != INVALID_HANDLE_VALUE;
    if (!ok)
        Trace::Line("Rux: sink '%s': cannot start a pipe instance (error %lu)", name_.c_str(), GetLastError());
    while (ok) {
        OVERLAPPED overlapped = {};
        overlapped.hEvent = connectEvent;
        BOOL connected = ConnectNamedPipe(instance, &overlapped);
        DWORD error = connected ? 0 : GetLastError();
        if (!connected && error == ERROR_IO_PENDING) {
            HANDLE waits[2] = {connectEvent, stopEvent_};
            DWORD wait = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
            DWORD bytes = 0;
            if (wait != WAIT_OBJECT_0) {
                CancelIoEx(instance, &overlapped);
                GetOverlappedResult(instance, &overlapped, &bytes, TRUE);
                break;
            }
            connected = GetOverlappedResult(instance, &overlapped, &bytes, FALSE);
            error = connected ? 0 : GetLastError();
        }
        {
            std::lock_guard<std::mutex> hold(mutex_);
            --listening_;
            if (stopped_)
                break;
            // Nobody else listens: start a spare before serving, so the next
            // client finds an instance.
            if (listening_ == 0)
                StartWorkerLocked(INVALID_HANDLE_VALUE);
        }
        // A client that came and went before we saw it leaves ERROR_NO_DATA:
        // only the disconnect below is needed.
        if (connected || error == ERROR_PIPE_CONNECTED) {
            if (security_.Admit(instance))
                SinkConnection(*this, instance, readEvent, writeEvent).Serve();
        } else if (error != ERROR_NO_DATA) {
            Trace::Line("Rux: sink '%s': listening failed (error %lu)", name_.c_str(), error);
            // Not a client's doing: pause rather than spin on it.
            if (WaitForSingleObject(stopEvent_, 100) == WAIT_OBJECT_0)
                break;
        }
        DisconnectNamedPipe(instance);
        std::list<Worker> finished;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            ReapLocked(finished);
            if (stopped_ || listening_ >= 3)
                break;
            ++listening_;
        }
        // Threads that have already returned: their join does not wait.
        for (Worker& worker : finished)
            worker.thread.join();
    }
    if (instance != INVALID_HANDLE_VALUE)
        CloseHandle(instance);
    for (HANDLE handle : {connectEvent, readEvent, writeEvent}) {
        if (handle)
            CloseHandle(handle);
    }
    std::lock_guard<std::mutex> hold(mutex_);
    if (!ok)
        --listening_;
    self->done = true;
}

}  // namespace rux
