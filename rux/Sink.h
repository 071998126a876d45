// One of our sinks: the named pipe that other processes connect to, the
// thread that accepts them, their connections and the services they reach.
//
// Single ownership of a name across processes is held by a named mutex that
// lives as long as the sink (FILE_FLAG_FIRST_PIPE_INSTANCE is also set, but
// not every platform honours it). Stop order: stop event, accept thread,
// connection threads, services, then the handles they used.
#pragma once

#include "rux/PipeSecurity.h"
#include "rux/SinkService.h"

#include <windows.h>

#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace rux {

class SinkConnection;

class Sink {
public:
    // Starts the sink; null with `error` set when the name is taken or the pipe
    // cannot be created. `event` is duplicated: the caller keeps its own.
    static std::shared_ptr<Sink> Start(const std::string& name, HANDLE event, DWORD& error);
    ~Sink();
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    // Joins every thread of the sink and closes its pipes; idempotent.
    void Stop();

    // Null with `error` when the name is in use or the sink is stopped.
    std::shared_ptr<SinkService> AddService(const std::string& name, HANDLE event, DWORD& error);
    void RemoveService(const std::shared_ptr<SinkService>& service);

    // Used by the connection threads.
    const std::string& Name() const { return name_; }
    HANDLE StopEvent() const { return stopEvent_; }
    std::shared_ptr<SinkService> FindService(uint32_t id);
    std::shared_ptr<SinkService> FindService(const std::string& name);
    void SignalPeer();

private:
    explicit Sink(std::string name);
    HANDLE CreateInstance(bool first);
    void AcceptLoop();
    void ReapFinished();

    const std::string name_;
    std::wstring pipePath_;
    PipeSecurity security_;
    HANDLE nameMutex_ = nullptr;
    HANDLE event_ = nullptr;
    HANDLE stopEvent_ = nullptr;
    HANDLE connectEvent_ = nullptr;
    HANDLE listening_ = INVALID_HANDLE_VALUE;  // owned by the accept thread once it runs

    std::mutex mutex_;  // guards everything below, and the use of event_
    bool stopped_ = false;
    uint32_t nextServiceId_ = 1;
    std::map<std::string, std::shared_ptr<SinkService>> services_;
    std::list<std::unique_ptr<SinkConnection>> connections_;
    std::thread acceptThread_;
};

}  // namespace rux
