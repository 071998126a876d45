// Two reply sinks of this process that a host's answer can never get through:
// raw pipes under sink names of their own, one that feeds its client a byte
// every few seconds ("drip") and one that takes its client's bytes and never
// answers ("silent"). Queries name them as their reply address (batch class
// "stall"). Their pipes are owned by this process's user, as any process of
// the user may make them, so that a host answering for this process trusts
// them as servers of that user. One client at a time each; a thread each,
// ended and joined by the destructor.
#pragma once

#include "base/UniqueHandle.h"

#include <windows.h>

#include <string>
#include <thread>

class StallingSinks {
public:
    static constexpr DWORD DripIntervalMs = 3000;

    StallingSinks() = default;
    // Stops both servers and joins their threads.
    ~StallingSinks();
    StallingSinks(const StallingSinks&) = delete;
    StallingSinks& operator=(const StallingSinks&) = delete;

    // Starts both; false with a one-line reason.
    bool Start(std::string& error);
    const std::string& DripName() const { return dripName_; }
    const std::string& SilentName() const { return silentName_; }

private:
    void Serve(const std::string& name, bool drip) noexcept;
    // Waits for an overlapped operation that `started` began, or for the stop
    // event (false: it was cancelled).
    bool Await(HANDLE pipe, OVERLAPPED& overlapped, BOOL started);

    std::string dripName_;
    std::string silentName_;
    UniqueEvent stop_;  // manual-reset
    std::thread drip_;
    std::thread silent_;
};
