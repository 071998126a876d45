// The host's side of the plug-in: loads the module, creates one client through
// the factory at ordinal 2 and calls it through the host interface; runs the
// flush entry at ordinal 1 on a thread of its own.
#pragma once

#include "contracts/OLVRuxUIPlugin.h"

#include <windows.h>

#include <cstdint>
#include <string>

class PluginHost {
public:
    explicit PluginHost(std::wstring modulePath) : modulePath_(std::move(modulePath)) {}
    PluginHost(const PluginHost&) = delete;
    PluginHost& operator=(const PluginHost&) = delete;
    // Destroys a client still alive; the module stays loaded until the process
    // ends, since a worker of the destroyed client may still be leaving it.
    ~PluginHost();

    const std::wstring& modulePath() const noexcept { return modulePath_; }
    bool loaded() const noexcept { return module_ != nullptr; }
    bool hasClient() const noexcept { return client_ != nullptr; }

    // Loads the module once. False with the system error on failure.
    bool Load(DWORD& error);

    // Calls the factory. False when the module does not load, has no ordinal 2
    // (error ERROR_PROC_NOT_FOUND) or the factory returns null (error 0).
    bool NewClient(DWORD& error);

    // The host interface, in its slot order. Each needs a client.
    void StartWorker();
    void SetSession(int32_t sessionId);
    int32_t Perform();
    void Destroy();

    // Runs the flush entry on a new thread and waits for it at most timeoutMs.
    // False with ERROR_TIMEOUT when the thread did not end in time (it is left
    // running), or with the error that kept it from starting.
    bool RunFlushThread(DWORD timeoutMs, DWORD& exitCode, DWORD& error);

    // Frees the module. Refused (false) while a client is alive. stillMapped
    // tells whether the module is still in the process afterwards: a run of a
    // destroyed client that outlived Destroy's wait holds it until it returns.
    bool Unload(bool& stillMapped);

private:
    // The export at `ordinal`, the module loaded first; null with the system
    // error when either fails.
    FARPROC Entry(WORD ordinal, DWORD& error);

    std::wstring modulePath_;
    HMODULE module_ = nullptr;
    OLVRuxUIPlugin* client_ = nullptr;
};
