#include "tools/ruxhost/PluginHost.h"

namespace {

using ClientFactory = OLVRuxUIPlugin* (*)();

constexpr WORD FlushThreadOrdinal = 1;
constexpr WORD ClientFactoryOrdinal = 2;

}  // namespace

PluginHost::~PluginHost()
{
    if (client_)
        Destroy();
}

bool PluginHost::Load(DWORD& error)
{
    if (module_)
        return true;
    module_ = LoadLibraryW(modulePath_.c_str());
    if (!module_) {
        error = GetLastError();
        return false;
    }
    return true;
}

FARPROC PluginHost::Entry(WORD ordinal, DWORD& error)
{
    if (!Load(error))
        return nullptr;
    FARPROC entry = GetProcAddress(module_, MAKEINTRESOURCEA(ordinal));
    if (!entry)
        error = GetLastError();
    return entry;
}

bool PluginHost::NewClient(DWORD& error)
{
    FARPROC entry = Entry(ClientFactoryOrdinal, error);
    if (!entry)
        return false;
    // Through void(*)(): the one cast between function types that is always quiet.
    auto factory = reinterpret_cast<ClientFactory>(reinterpret_cast<void (*)()>(entry));
    client_ = factory();
    if (!client_) {
        error = ERROR_SUCCESS;
        return false;
    }
    return true;
}

void PluginHost::StartWorker()
{
    client_->StartWorker();
}

void PluginHost::SetSession(int32_t sessionId)
{
    client_->SetSession(sessionId);
}

int32_t PluginHost::Perform()
{
    return client_->Perform();
}

void PluginHost::Destroy()
{
    // The interface pointer is dead once Destroy returns: forget it first.
    OLVRuxUIPlugin* client = client_;
    client_ = nullptr;
    client->Destroy();
}

bool PluginHost::RunFlushThread(DWORD timeoutMs, DWORD& exitCode, DWORD& error)
{
    FARPROC entry = Entry(FlushThreadOrdinal, error);
    if (!entry)
        return false;
    auto start = reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void (*)()>(entry));
    HANDLE thread = CreateThread(nullptr, 0, start, nullptr, 0, nullptr);
    if (!thread) {
        error = GetLastError();
        return false;
    }
    DWORD wait = WaitForSingleObject(thread, timeoutMs);
    bool ended = wait == WAIT_OBJECT_0;
    if (ended && !GetExitCodeThread(thread, &exitCode)) {
        ended = false;
        error = GetLastError();
    } else if (!ended) {
        error = wait == WAIT_TIMEOUT ? ERROR_TIMEOUT : GetLastError();
    }
    CloseHandle(thread);
    return ended;
}

bool PluginHost::Unload(bool& stillMapped)
{
    if (client_)
        return false;
    if (module_) {
        FreeLibrary(module_);
        module_ = nullptr;
    }
    stillMapped = GetModuleHandleW(modulePath_.c_str()) != nullptr;
    return true;
}
