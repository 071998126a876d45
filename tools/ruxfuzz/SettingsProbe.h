// The genuine user interface's question, asked through Rux.dll as
// ruxui-console asks it: a query "RequestSBSetting" to the plug-in's sink and
// service "SB", with this process's own sink and service named for the reply.
// The host is answering when the reply with this probe's cookie carries the
// ten settings.
#pragma once

#include "base/UniqueHandle.h"
#include "contracts/RuxExtensions.h"

#include <windows.h>

#include <cstdint>
#include <string>

class SettingsProbe {
public:
    SettingsProbe() = default;
    // Stops the reply sink and leaves the library.
    ~SettingsProbe();
    SettingsProbe(const SettingsProbe&) = delete;
    SettingsProbe& operator=(const SettingsProbe&) = delete;

    // Starts the reply sink (a name of this process) and its service. False
    // with a one-line reason.
    bool Start(std::string& error);
    // Asks once; true when the ten settings came back within timeoutMs. False
    // with a one-line reason. Replies to earlier probes or to the fuzzer's own
    // queries are skipped.
    bool Ask(const std::string& hostSink, DWORD timeoutMs, std::string& error);

    const std::string& SinkName() const { return sinkName_; }
    static constexpr const char* ServiceName = "Reply";
    static constexpr uint16_t SettingCount = 10;

private:
    // Pops what is queued; true once the reply with `cookie` and the ten
    // settings is among it.
    bool DrainFor(int32_t cookie, std::string& error);

    std::string sinkName_;
    UniqueEvent serviceEvent_;
    RuxSink sink_ = nullptr;
    RuxService service_ = nullptr;
    int32_t lastCookie_ = 0;
    bool initialised_ = false;
};
