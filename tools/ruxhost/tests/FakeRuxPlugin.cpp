// A stand-in plug-in for ruxhost's tests: the two exports at ordinals 1 and 2,
// and a client that writes each host call to the file named by the variable
// OLV_FAKE_PLUGIN_TRACE. With OLV_FAKE_PLUGIN_NULL=1 the factory returns null,
// as a plug-in does when it cannot create its client.
#include "contracts/OLVRuxUIPlugin.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

void Trace(const std::string& line)
{
    char path[MAX_PATH] = {};
    DWORD length = GetEnvironmentVariableA("OLV_FAKE_PLUGIN_TRACE", path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    std::string record = line + "\n";
    DWORD written = 0;
    WriteFile(file, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
    CloseHandle(file);
}

class FakeClient final : public OLVRuxUIPlugin {
public:
    void StartWorker() override
    {
        started_ = true;
        Trace("StartWorker");
    }

    void SetSession(int32_t sessionId) override
    {
        sessionId_ = sessionId;
        Trace("SetSession " + std::to_string(sessionId));
    }

    // Tells the test what the client was told: the session, times ten, plus
    // one once started.
    int32_t Perform() override
    {
        Trace("Perform");
        return sessionId_ * 10 + (started_ ? 1 : 0);
    }

    void Destroy() override
    {
        Trace("Destroy");
        delete this;
    }

private:
    bool started_ = false;
    int32_t sessionId_ = 0;
};

}  // namespace

extern "C" DWORD WINAPI OlvLog_FlushThread(LPVOID)
{
    Trace("FlushThread");
    return 7;
}

extern "C" OLVRuxUIPlugin* RuxUIClientNew()
{
    char value[8] = {};
    if (GetEnvironmentVariableA("OLV_FAKE_PLUGIN_NULL", value, sizeof(value)) == 1 && value[0] == '1') {
        Trace("RuxUIClientNew null");
        return nullptr;
    }
    Trace("RuxUIClientNew");
    return new FakeClient;
}
