#include "rux/Sink.h"

#include "rux/SinkConnection.h"
#include "rux/SinkName.h"
#include "rux/Trace.h"

namespace rux {
namespace {

constexpr DWORD PipeBufferBytes = 64 * 1024;

}  // namespace

Sink::Sink(std::string name) : name_(std::move(name)), pipePath_(SinkName::PipePath(name_)) {}

std::shared_ptr<Sink> Sink::Start(const std::string& name, HANDLE event, DWORD& error)
{
    std::shared_ptr<Sink> sink(new Sink(name));
    // The mutex's existence is the claim on the name: it goes with the last
    // handle, that is with this sink or with the process that held it.
    sink->nameMutex_ = CreateMutexW(nullptr, FALSE, SinkName::MutexName(name).c_str());
    if (!sink->nameMutex_ || GetLastError() == ERROR_ALREADY_EXISTS) {
        error = sink->nameMutex_ ? ERROR_ALREADY_EXISTS : GetLastError();
        return nullptr;
    }
    if (!sink->security_.Build()) {
        error = GetLastError();
        return nullptr;
    }
    if (event && !DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &sink->event_, 0, FALSE,
                                  DUPLICATE_SAME_ACCESS)) {
        error = GetLastError();
        return nullptr;
    }
    sink->stopEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    sink->connectEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!sink->stopEvent_ || !sink->connectEvent_) {
        error = GetLastError();
        return nullptr;
    }
    // The first instance exists before Start returns, so a client may connect
    // as soon as the caller has the handle.
    sink->listening_ = sink->CreateInstance(true);
    if (sink->listening_ == INVALID_HANDLE_VALUE) {
        error = GetLastError() == ERROR_ACCESS_DENIED ? ERROR_ALREADY_EXISTS : GetLastError();
        return nullptr;
    }
    try {
        sink->acceptThread_ = std::thread(&Sink::AcceptLoop, sink.get());
    } catch (...) {
        error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    Trace::Line("Rux: sink '%s' started", name.c_str());
    return sink;
}

Sink::~Sink()
{
    Stop();
    if (listening_ != INVALID_HANDLE_VALUE)
        CloseHandle(listening_);
    for (HANDLE* handle : {&event_, &stopEvent_, &connectEvent_, &nameMutex_}) {
        if (*handle)
            CloseHandle(*handle);
        *handle = nullptr;
    }
}

HANDLE Sink::CreateInstance(bool first)
{
    return CreateNamedPipeW(pipePath_.c_str(),
                            PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                            PIPE_UNLIMITED_INSTANCES, PipeBufferBytes, PipeBufferBytes, 0, security_.Attributes());
}

void Sink::Stop()
{
    std::list<std::unique_ptr<SinkConnection>> connections;
    std::map<std::string, std::shared_ptr<SinkService>> services;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (stopped_ || !stopEvent_)
            return;
        stopped_ = true;
        SetEvent(stopEvent_);
    }
    if (acceptThread_.joinable())
        acceptThread_.join();
    {
        // The accept thread has ended: nothing adds connections any more.
        std::lock_guard<std::mutex> hold(mutex_);
        connections.swap(connections_);
        services.swap(services_);
    }
    connections.clear();  // joins each connection thread
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

void Sink::ReapFinished()
{
    std::list<std::unique_ptr<SinkConnection>> finished;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            auto next = std::next(it);
            if ((*it)->Done())
                finished.splice(finished.end(), connections_, it);
            it = next;
        }
    }
    finished.clear();  // joins threads that have already returned
}

void Sink::AcceptLoop()
{
    for (;;) {
        if (listening_ == INVALID_HANDLE_VALUE) {
            listening_ = CreateInstance(false);
            if (listening_ == INVALID_HANDLE_VALUE) {
                Trace::Line("Rux: sink '%s': cannot create a pipe instance (error %lu)", name_.c_str(),
                            GetLastError());
                if (WaitForSingleObject(stopEvent_, 1000) == WAIT_OBJECT_0)
                    return;
                continue;
            }
        }
        OVERLAPPED overlapped = {};
        overlapped.hEvent = connectEvent_;
        BOOL connected = ConnectNamedPipe(listening_, &overlapped);
        DWORD error = connected ? 0 : GetLastError();
        if (!connected && error == ERROR_IO_PENDING) {
            HANDLE waits[2] = {connectEvent_, stopEvent_};
            DWORD wait = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
            DWORD bytes = 0;
            if (wait != WAIT_OBJECT_0) {
                CancelIoEx(listening_, &overlapped);
                GetOverlappedResult(listening_, &overlapped, &bytes, TRUE);
                CloseHandle(listening_);
                listening_ = INVALID_HANDLE_VALUE;
                return;
            }
            connected = GetOverlappedResult(listening_, &overlapped, &bytes, FALSE);
            error = connected ? 0 : GetLastError();
        }
        if (!connected && error != ERROR_PIPE_CONNECTED) {
            // A client that came and went before we saw it: start over with a
            // fresh instance.
            DisconnectNamedPipe(listening_);
            CloseHandle(listening_);
            listening_ = INVALID_HANDLE_VALUE;
            if (WaitForSingleObject(stopEvent_, 0) == WAIT_OBJECT_0)
                return;
            continue;
        }
        HANDLE accepted = listening_;
        // The next instance is made before the accepted one is handed over, so
        // that the name never disappears while the sink runs.
        listening_ = CreateInstance(false);
        auto connection = std::make_unique<SinkConnection>(*this, accepted);
        if (connection->Start()) {
            std::lock_guard<std::mutex> hold(mutex_);
            connections_.push_back(std::move(connection));
        }
        ReapFinished();
    }
}

}  // namespace rux
