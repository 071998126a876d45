// One of our sinks: the named pipe that other processes connect to, the
// worker threads that serve their connections, and the services they reach.
//
// Each worker owns one pipe instance: it listens on it, serves the client that
// connects on its own thread (no hand-over, no thread start on the way), then
// listens again. A worker that takes a client while no other one listens
// starts a spare first; a worker that finishes while three others listen
// ends. So a listening instance is nearly always there, and the one-at-a-time
// connections of status pushes reuse the same few threads even when a client
// reconnects before the worker has seen its last close.
//
// Single ownership of a name across processes is held by a named mutex that
// lives as long as the sink (FILE_FLAG_FIRST_PIPE_INSTANCE is also set, but
// not every platform honours it). Stop order: stop event, worker threads,
// services, then the handles they used.
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
    struct Worker {
        std::thread thread;
        bool done = false;  // set under mutex_ as the thread's last act
    };

    explicit Sink(std::string name);
    HANDLE CreateInstance(bool first);
    // Starts a worker on `instance` (INVALID_HANDLE_VALUE: it makes its own).
    // Called with mutex_ held; false when no thread could be started.
    bool StartWorkerLocked(HANDLE instance);
    void WorkerLoop(Worker* self, HANDLE instance);
    void ReapLocked(std::list<Worker>& finished);

    const std::string name_;
    std::wstring pipePath_;
    PipeSecurity security_;
    HANDLE nameMutex_ = nullptr;
    HANDLE event_ = nullptr;
    HANDLE stopEvent_ = nullptr;

    std::mutex mutex_;  // guards everything below, and the use of event_
    bool stopped_ = false;
    uint32_t nextServiceId_ = 1;
    int listening_ = 0;  // workers waiting for a client
    std::map<std::string, std::shared_ptr<SinkService>> services_;
    std::list<Worker> workers_;
};

}  // namespace rux
