// The host under test: ruxhost.exe driven step by step through its standard
// input ("ruxhost -"), one line back per step. A thread of this object reads
// the host's output; it ends when the host's end of the pipe closes, which
// happens at the latest when the host is ended by Finish or the destructor.
#pragma once

#include "base/UniqueHandle.h"

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

class HostProcess {
public:
    // The host's own figures, as its "resources" step prints them.
    struct Resources {
        unsigned long handles = 0;
        unsigned long long privateBytes = 0;
        unsigned long threads = 0;
    };

    HostProcess() = default;
    // Ends a host still running (its input closed, then terminated after
    // FinishWaitMs) and joins the reader.
    ~HostProcess();
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    // Starts `hostPath` with "--dll dllPath -" (or just "-" when dllPath is
    // empty); its standard error goes to ours. False with a one-line reason.
    bool Start(const std::wstring& hostPath, const std::wstring& dllPath, std::string& error);
    // Sends one step and waits up to timeoutMs for its line ("STEP: ...").
    // False with a reason when the host ended or did not answer in time.
    bool Step(const std::string& step, DWORD timeoutMs, std::string& line);
    // The "resources" step, parsed.
    bool SampleResources(Resources& resources, DWORD timeoutMs, std::string& error);
    bool Alive() const;
    // Waits up to timeoutMs for the host to end; true once it has.
    bool WaitForExit(DWORD timeoutMs) const;
    // The exit code once the host has ended (STILL_ACTIVE before).
    DWORD ExitCode() const;
    // Closes the host's input, so that it destroys what is left of its script
    // and ends, and waits up to timeoutMs; terminates it after that. False
    // when it had to be terminated.
    bool Finish(DWORD timeoutMs);

    static constexpr DWORD FinishWaitMs = 30000;

private:
    void ReadLoop();

    UniqueProcess process_;
    UniquePipe input_;   // our end of the host's standard input
    UniquePipe output_;  // our end of the host's standard output; the reader's

    std::mutex mutex_;  // guards lines_, partial_ and ended_
    std::condition_variable changed_;
    std::deque<std::string> lines_;
    std::string partial_;
    bool ended_ = false;  // the output pipe closed

    std::thread reader_;  // last: it uses everything above
};
