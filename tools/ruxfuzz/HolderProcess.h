// A process of ruxfuzz's own that holds greeted, idle connections to a sink
// ("ruxfuzz --hold SINK COUNT hello|open"): a sink counts connections by
// process, so holders in processes of their own are what a group of hostile
// processes looks like to it. It may be started with its token lowered to
// low integrity, as a sandbox runs a browser's or a document's process.
//
// The child greets COUNT connections one after the other, writes one line,
// "held ANSWERED INTEGRITY" (the greetings the sink answered, and the RID of
// its own token's integrity level, in hex), and holds them until its
// standard input ends; then it exits 0.
#pragma once

#include "base/UniqueHandle.h"

#include <windows.h>

#include <cstdint>
#include <string>

class HolderProcess {
public:
    HolderProcess() = default;
    // Releases a child that still runs.
    ~HolderProcess();
    HolderProcess(const HolderProcess&) = delete;
    HolderProcess& operator=(const HolderProcess&) = delete;

    // Starts `selfPath` (ruxfuzz.exe) as a holder. False with a one-line
    // reason.
    bool Start(const std::wstring& selfPath, const std::string& sink, uint32_t count, bool greetWithOpen,
               bool lowIntegrity, std::string& error);
    // Waits up to timeoutMs for the child's line. False with a reason when it
    // ended or did not write it in time.
    bool WaitHeld(DWORD timeoutMs, uint32_t& answered, DWORD& integrity, std::string& error);
    // Ends the child's input, so that it drops its connections and ends, and
    // waits up to timeoutMs; terminates it after that (false then).
    bool Release(DWORD timeoutMs);

    // The child's side; returns its exit code.
    static int RunChild(const std::string& sink, uint32_t count, bool greetWithOpen);

private:
    UniqueProcess process_;
    UniquePipe input_;   // our end of its standard input
    UniquePipe output_;  // our end of its standard output
    std::string partial_;      // what it wrote so far
};
