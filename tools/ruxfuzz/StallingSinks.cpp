#include "tools/ruxfuzz/StallingSinks.h"

#include <exception>

StallingSinks::~StallingSinks()
{
    if (stop_.valid())
        SetEvent(stop_.get());
    if (drip_.joinable())
        drip_.join();
    if (silent_.joinable())
        silent_.join();
}

bool StallingSinks::Start(std::string& error)
{
    std::string tag = std::to_string(GetCurrentProcessId());
    dripName_ = "RuxFuzzDrip." + tag;
    silentName_ = "RuxFuzzSilent." + tag;
    stop_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stop_.valid()) {
        error = "cannot create an event (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    try {
        drip_ = std::thread([this] { Serve(dripName_, true); });
        silent_ = std::thread([this] { Serve(silentName_, false); });
    } catch (const std::exception& e) {
        error = std::string("cannot start the stalling sinks: ") + e.what();
        return false;
    }
    return true;
}

bool StallingSinks::Await(HANDLE pipe, OVERLAPPED& overlapped, BOOL started)
{
    if (!started && GetLastError() != ERROR_IO_PENDING)
        return true;
    HANDLE waits[2] = {overlapped.hEvent, stop_.get()};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0)
        return true;
    CancelIoEx(pipe, &overlapped);
    DWORD bytes = 0;
    GetOverlappedResult(pipe, &overlapped, &bytes, TRUE);
    return false;
}

void StallingSinks::Serve(const std::string& name, bool drip) noexcept
{
    std::wstring path = L"\\\\.\\pipe\\Rux.Sink." + std::wstring(name.begin(), name.end());
    UniqueToken token;
    unsigned char user[256] = {};
    DWORD size = 0;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()))
        GetTokenInformation(token.get(), TokenUser, user, sizeof user, &size);
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorOwner(&descriptor, reinterpret_cast<TOKEN_USER*>(user)->User.Sid, FALSE);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
    UniqueEvent done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!done.valid())
        return;
    OVERLAPPED overlapped = {};
    overlapped.hEvent = done.get();
    for (bool serving = true; serving;) {
        UniquePipe instance(CreateNamedPipeW(path.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE,
                                             1, 4096, 4096, 0, &attributes));
        HANDLE pipe = instance.get();
        if (!instance.valid()) {
            // The previous instance is still going away: try again shortly.
            serving = WaitForSingleObject(stop_.get(), 100) == WAIT_TIMEOUT;
            continue;
        }
        ResetEvent(overlapped.hEvent);
        serving = Await(pipe, overlapped, ConnectNamedPipe(pipe, &overlapped));
        char buffer[4096];
        DWORD bytes = 0;
        while (serving) {
            ResetEvent(overlapped.hEvent);
            BOOL started = drip ? WriteFile(pipe, "x", 1, nullptr, &overlapped)
                                : ReadFile(pipe, buffer, sizeof buffer, nullptr, &overlapped);
            if (!started && GetLastError() != ERROR_IO_PENDING)
                break;  // the client went
            serving = Await(pipe, overlapped, started);
            if (serving && !GetOverlappedResult(pipe, &overlapped, &bytes, FALSE))
                break;
            if (serving && drip)
                serving = WaitForSingleObject(stop_.get(), DripIntervalMs) == WAIT_TIMEOUT;
        }
        DisconnectNamedPipe(pipe);
    }
}
