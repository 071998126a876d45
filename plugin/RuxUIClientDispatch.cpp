// What the user interface sends to the client's service "SB": one-way calls
// and queries, each driving the engine. No error is ever answered.
#include "contracts/VtApi.h"
#include "plugin/AutoServiceConnect.h"
#include "plugin/ClientPlatform.h"
#include "plugin/RuxUIClient.h"
#include "plugin/UniqueRuxItem.h"

#include "log/OlvLog.h"
#include "runtime/FormatString.h"

#include <cstdint>
#include <cstring>
#include <exception>
#include <string>
#include <utility>

namespace {

bool Is(const char (&command)[256], const char* literal)
{
    return std::strcmp(command, literal) == 0;
}

unsigned HandleBits(RuxItem item)
{
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(item));
}

// Settings applied before a failure still reach the engine.
struct SettingsChangeNotice {
    SettingsChangeNotice() = default;
    ~SettingsChangeNotice() { VtApi_NotifySettingsChange(); }
    SettingsChangeNotice(const SettingsChangeNotice&) = delete;
    SettingsChangeNotice& operator=(const SettingsChangeNotice&) = delete;
};

}  // namespace

bool RuxUIClient::GetItemString(RuxItem item, char (&buffer)[256])
{
    if (!item)
        return false;
    int32_t type = 0;
    RuxGetType(item, &type);
    if (type == RuxType_String) {
        bool copied = RuxCopyStr(item, buffer, 0, sizeof buffer) == 0;
        buffer[sizeof buffer - 1] = 0;
        return copied;
    }
    if (type == RuxType_Blob) {
        uint16_t length = 0;
        bool copied = RuxCopyBlob(item, buffer, &length, sizeof buffer - 1) == 0;
        // A length beyond the capacity given is the library's fault; the text is
        // cut at the buffer's end instead of writing behind it.
        if (length > sizeof buffer - 1) {
            length = sizeof buffer - 1;
            copied = false;
        }
        buffer[length] = 0;
        return copied;
    }
    return false;
}

void RuxUIClient::OnService(RuxService service)
{
    ExclusiveLockHolder holder(lock);
    char command[256];
    for (;;) {
        RuxItem call = nullptr;
        int32_t kind = RuxPopCall(service, &call);
        if (kind == RuxResult_Empty)
            break;
        if (!call)
            continue;
        std::memset(command, 0, sizeof command);
        // A call whose handler fails (out of memory, for one) loses only
        // itself: what it read is released on the way out, and the drain goes
        // on, since the calls behind it get no signal of their own.
        try {
            if (kind == RuxResult_Call)
                OnCall(call, command);
            else if (kind == RuxResult_Query)
                OnQuery(call, command);
        } catch (const std::exception& e) {
            OlvLog_Print(OlvLogError, L"RuxUIClient::OnService: call dropped: %S", e.what());
        } catch (...) {
            OlvLog_Print(OlvLogError, L"RuxUIClient::OnService: call dropped");
        }
    }
}

void RuxUIClient::OnCall(RuxItem call, char (&command)[256])
{
    if (!GetItemString(call, command))
        OlvLog_Print(OlvLogError, L"RuxUIClient::OnService: failed to get command string in RuxResult_Call");

    if (Is(command, "ClearVirtualData")) {
        OlvLog_Print(OlvLogImportant, L"ClearVirtualData call");
        ClearVirtualData();
        return;
    }
    if (Is(command, "ShutDownSB")) {
        OlvLog_Print(OlvLogImportant, L"Shut down call");
        return;
    }

    RuxItem proc = nullptr;
    RuxGetAssoc(call, "proc", &proc);
    if (!GetItemString(proc, command)) {
        OlvLog_Print(OlvLogError, L"RuxUIClient::OnService: failed to get proc string in RuxResult_Call");
        return;
    }
    OlvLog_Print(OlvLogImportant, L"RuxUIClient::OnService: fRuxResult_Call receive string %S", command);
    if (!Is(command, "Enable"))
        return;

    UniqueRuxItem arg;
    RuxGetAssoc(call, "arg", arg.put());
    int32_t type = 0;
    if (arg.valid())
        RuxGetType(arg.get(), &type);
    if (type != RuxType_Bool) {
        OlvLog_Print(OlvLogError, L"Failed type of argument for %S", command);
        return;
    }
    int32_t enable = 0;
    RuxGetBool(arg.get(), &enable);

    // The name first: the id and the name change together or not at all.
    uint32_t active = Platform().activeConsoleSession();
    std::string name = FormatString("QClient(%d)", active);
    sessionId = active;
    serviceName = std::move(name);
    VtApi_SetActiveSession(active);
    if (enable) {
        if (!VtApi_IsVantorStarted() && !VtApi_StartVantor(0))
            OlvLog_Print(OlvLogError, L"Failed to start Linshade by server command");
    } else if (!VtApi_StopVantor(0)) {
        OlvLog_Print(OlvLogError, L"Failed to stop Linshade by server command");
    }
    // Served by the worker once the drain is over, the watch first.
    if (adviseEvent.valid())
        SetEvent(adviseEvent.get());
}

void RuxUIClient::OnQuery(RuxItem call, char (&command)[256])
{
    RuxItem proc = nullptr;
    RuxItem service = nullptr;
    RuxItem source = nullptr;
    RuxItem cookie = nullptr;
    RuxGetAssoc(call, "proc", &proc);
    RuxGetAssoc(call, "service", &service);
    RuxGetAssoc(call, "source", &source);
    RuxGetAssoc(call, "cookie", &cookie);
    OlvLog_Print(OlvLogImportant,
                 L"RuxUIClient::OnService: RuxResult_Query hProc = 0x%x hSourceService = 0x%x hSource = 0x%x hCookie "
                 L"= 0x%x",
                 HandleBits(proc), HandleBits(service), HandleBits(source), HandleBits(cookie));
    if (!proc || !service || !source || !cookie)
        return;
    if (!GetItemString(proc, command)) {
        OlvLog_Print(OlvLogError, L"RuxUIClient::OnService: failed to get proc in RuxResult_Query");
        return;
    }
    OlvLog_Print(OlvLogImportant, L"RuxUIClient::OnService: RuxResult_Query receive string %S", command);

    if (Is(command, "RequestSBSetting")) {
        char sourceText[256] = {};
        char serviceText[256] = {};
        if (!GetItemString(source, sourceText)) {
            OlvLog_Print(OlvLogError, L"RuxUIClient::OnService: failed to get source in RuxResult_Query");
            return;
        }
        if (!GetItemString(service, serviceText)) {
            OlvLog_Print(OlvLogError, L"RuxUIClient::OnService: failed to get service in RuxResult_Query");
            return;
        }
        AutoServiceConnect reply(sourceText, serviceText);
        if (!reply.connect()) {
            OlvLog_Print(OlvLogError, L"RuxUIClient::OnService: RuxResult_Query cannot connect to '%S':'%S'",
                         sourceText, serviceText);
            return;
        }
        int32_t virtualOn = VtApi_GetConfigOption(2);
        int32_t scanSpy = VtApi_GetConfigOption(10);
        int32_t keystrokeSetting = VtApi_GetConfigOption(4);
        int32_t checkKeystrokes = VtApi_GetConfigOption(3);
        int32_t checkFileDownload = VtApi_GetConfigOption(9);
        int32_t blockSpySite = VtApi_GetConfigOption(8);
        int32_t antiphishingHeuristic = VtApi_GetConfigOption(7);
        int32_t antiphishingSig = VtApi_GetConfigOption(6);
        int32_t siteStatusCheck = VtApi_GetConfigOption(5);
        int32_t autoUpdate = VtApi_GetConfigOption(11);
        UniqueRuxItem item(RuxBuildItem("{s:b, s:b, s:b, s:b, s:b, s:b, s:b, s:b, s:b, s:b}",  //
                                        "EnableAutoUpdate", autoUpdate,                        //
                                        "EnableSiteStatusCheck", siteStatusCheck,              //
                                        "EnableAntiphishingSig", antiphishingSig,              //
                                        "EnableAntiphishingHeuristic", antiphishingHeuristic,  //
                                        "EnableBlockSpySite", blockSpySite,                    //
                                        "EnableCheckFileDownload", checkFileDownload,          //
                                        "EnableCheckKeystrokes", checkKeystrokes,              //
                                        "KeystrokeSetting", keystrokeSetting,                  //
                                        "EnableScanSpy", scanSpy,                              //
                                        "EnableVirtual", virtualOn));
        if (!item.valid()) {
            OlvLog_Print(OlvLogError,
                         L"RuxUIClient::OnService: failed to build item in RuxResult_Query for RequestSBSetting");
            return;
        }
        RuxReply(reply.Service(), 0, proc, cookie, item.get());
        return;
    }

    if (Is(command, "ApplySBSetting")) {
        // Declared first: the engine hears of the change after "arg" is
        // released, also when a lookup below throws.
        SettingsChangeNotice notice;
        UniqueRuxItem arg;
        RuxGetAssoc(call, "arg", arg.put());
        int32_t type = 0;
        if (arg.valid())
            RuxGetType(arg.get(), &type);
        if (type == RuxType_Assoc) {
            uint16_t count = 0;
            RuxGetLen(arg.get(), &count);
            for (uint16_t i = 0; i < count; ++i) {
                UniqueRuxItem key;
                UniqueRuxItem value;
                RuxGetNthKey(arg.get(), i, key.put());
                if (key.valid())
                    RuxGetAt(arg.get(), key.get(), value.put());
                char name[256] = {};
                GetItemString(key.get(), name);
                int32_t flag = 0;
                if (value.valid())
                    RuxGetBool(value.get(), &flag);
                int32_t optionId = settingNames.Find(name);
                if (optionId > 0)
                    VtApi_SetConfigOption(optionId, flag);
            }
        }
    }
    if (Is(command, "ClearVirtualData"))
        ClearVirtualData();
    if (Is(command, "ResetMessage"))
        ResetMessages();
}

void RuxUIClient::ClearVirtualData()
{
    if (!VtApi_SetActiveSession(sessionId.load()))
        OlvLog_Print(OlvLogError, L"RuxUIClient::ClearVirtualData: VtApi_SetActiveSession failed");
    if (!VtApi_ClearVirtualData())
        OlvLog_Print(OlvLogError, L"RuxUIClient::ClearVirtualData: VtApi_ClearVirtualData failed");
}

void RuxUIClient::ResetMessages()
{
    if (!VtApi_ResetMessages())
        OlvLog_Print(OlvLogError, L"RuxUIClient::ResetMessages: VtApi_ResetMessages failed");
}
