// What the user interface sends to the client's service "SB": one-way calls
// and queries, each driving the engine. No error is ever answered. The drain
// holds no lock: the engine is driven and the answers handed to the run's
// reply threads (ReplyPool) without it.
#include "contracts/VtApi.h"
#include "plugin/ClientPlatform.h"
#include "plugin/ReplyPool.h"
#include "plugin/RuxUIClient.h"
#include "plugin/UniqueRuxItem.h"

#include "log/OlvLog.h"

#include <cstdint>
#include <cstring>
#include <exception>
#include <string>
#include <tuple>
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

// The settings item: every setting as a boolean, in the table's order.
template <size_t... I>
RuxItem BuildSettingsItem(const int32_t (&values)[FeatureSettingCount], std::index_sequence<I...>)
{
    static_assert(sizeof...(I) == 10, "the format names ten members");
    auto build = [](auto... pairs) {
        return RuxBuildItem("{s:b, s:b, s:b, s:b, s:b, s:b, s:b, s:b, s:b, s:b}", pairs...);
    };
    return std::apply(build, std::tuple_cat(std::make_tuple(FeatureSettings[I].name, values[I])...));
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

void RuxUIClient::OnService(RuxService service, ReplyPool* replies)
{
    char command[256];
    for (;;) {
        // Destroy does not wait for a drain: it ends between two calls, and
        // what is still queued is not served.
        if (Closing())
            return;
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
                OnQuery(service, call, command, replies);
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

    uint32_t active = Platform().activeConsoleSession();
    {
        ExclusiveLockHolder holder(lock);
        SetSessionLocked(active);
    }
    VtApi_SetActiveSession(active);
    if (enable) {
        if (!VtApi_IsVantorStarted() && !VtApi_StartVantor(0))
            OlvLog_Print(OlvLogError, L"Failed to start Linshade by server command");
    } else if (!VtApi_StopVantor(0)) {
        OlvLog_Print(OlvLogError, L"Failed to stop Linshade by server command");
    }
    // Served by the worker once the drain is over, the watch first.
    ExclusiveLockHolder holder(lock);
    if (adviseEvent.valid())
        SetEvent(adviseEvent.get());
}

void RuxUIClient::OnQuery(RuxService service, RuxItem call, char (&command)[256], ReplyPool* replies)
{
    RuxItem proc = nullptr;
    RuxItem source = nullptr;
    RuxItem cookie = nullptr;
    RuxItem replyService = nullptr;
    RuxGetAssoc(call, "proc", &proc);
    RuxGetAssoc(call, "service", &replyService);
    RuxGetAssoc(call, "source", &source);
    RuxGetAssoc(call, "cookie", &cookie);
    OlvLog_Print(OlvLogImportant,
                 L"RuxUIClient::OnService: RuxResult_Query hProc = 0x%x hSourceService = 0x%x hSource = 0x%x hCookie "
                 L"= 0x%x",
                 HandleBits(proc), HandleBits(replyService), HandleBits(source), HandleBits(cookie));
    if (!proc || !replyService || !source || !cookie)
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
        if (!GetItemString(replyService, serviceText)) {
            OlvLog_Print(OlvLogError, L"RuxUIClient::OnService: failed to get service in RuxResult_Query");
            return;
        }
        if (!replies) {
            OlvLog_Print(OlvLogError, L"RuxUIClient::OnService: RuxResult_Query no reply thread for '%S'", sourceText);
            return;
        }
        AnswerSettings(service, proc, cookie, sourceText, serviceText, *replies);
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

void RuxUIClient::AnswerSettings(RuxService service, RuxItem proc, RuxItem cookie, const char* sourceText,
                                 const char* serviceText, ReplyPool& replies)
{
    // The answer goes only where the asker could send it itself: to a sink
    // served by its own user in its own session (checked as the reply
    // connects, before anything is sent).
    ReplyJob job;
    if (Platform().callSender(service, &job.sender) != 0 || job.sender.userBytes == 0) {
        OlvLog_Print(OlvLogError, L"RuxUIClient::OnService: RuxResult_Query sender unknown, no reply to '%S'",
                     sourceText);
        return;
    }
    job.sink = sourceText;
    job.service = serviceText;
    // Before the engine is read: a target that failed lately, or a sender
    // with too many replies pending, costs nothing more.
    if (!replies.Admits(job.sender, job.sink))
        return;
    uint32_t cookieBytes = 0;
    if (RuxGetItemSize(cookie, &cookieBytes) != 0 || cookieBytes > MaxCookieBytes) {
        OlvLog_Print(OlvLogError, L"RuxUIClient::OnService: RuxResult_Query cookie of %u bytes, no reply to '%S'",
                     cookieBytes, sourceText);
        return;
    }

    // The engine is asked in the reverse of the item's order, as it always
    // has been; Destroy may come between two reads of a slow engine, and then
    // nothing is answered.
    int32_t values[FeatureSettingCount] = {};
    for (size_t i = FeatureSettingCount; i-- > 0;) {
        if (Closing())
            return;
        values[i] = VtApi_GetConfigOption(FeatureSettings[i].optionId);
    }
    job.result.reset(BuildSettingsItem(values, std::make_index_sequence<FeatureSettingCount>()));
    // The popped query goes with the next pop: the reply keeps copies of what
    // it hands back.
    job.held.reset(RuxBuildItem("{}"));
    uint32_t resultBytes = 0;
    uint32_t heldBytes = 0;
    if (!job.result.valid() || !job.held.valid() || !RuxAssocSet(job.held.get(), "proc", proc) ||
        !RuxAssocSet(job.held.get(), "cookie", cookie) || RuxGetItemSize(job.result.get(), &resultBytes) != 0 ||
        RuxGetItemSize(job.held.get(), &heldBytes) != 0) {
        OlvLog_Print(OlvLogError,
                     L"RuxUIClient::OnService: failed to build item in RuxResult_Query for RequestSBSetting");
        return;
    }
    job.bytes = size_t{resultBytes} + heldBytes;
    replies.Hand(std::move(job));
}

void RuxUIClient::ClearVirtualData()
{
    // The engine's session of a command: a change meanwhile is the next one's.
    if (!VtApi_SetActiveSession(OLV_TS_UNCHECKED_READ(sessionId).load()))
        OlvLog_Print(OlvLogError, L"RuxUIClient::ClearVirtualData: VtApi_SetActiveSession failed");
    if (!VtApi_ClearVirtualData())
        OlvLog_Print(OlvLogError, L"RuxUIClient::ClearVirtualData: VtApi_ClearVirtualData failed");
}

void RuxUIClient::ResetMessages()
{
    if (!VtApi_ResetMessages())
        OlvLog_Print(OlvLogError, L"RuxUIClient::ResetMessages: VtApi_ResetMessages failed");
}
