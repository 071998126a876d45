// The messages the client sends to its session's user interface on its own:
// the full status, the statistics, the status alone and the settings dialog
// request. Each goes over a connection of its own to "QClient(%d)", service
// "SB", made for that one exchange: the engine is read first and the lock
// left, so that neither a slow engine nor a slow user interface holds a host
// call.
#include "contracts/VtApi.h"
#include "plugin/AutoServiceConnect.h"
#include "plugin/FileVersion.h"
#include "plugin/ModulePath.h"
#include "plugin/RuxUIClient.h"
#include "plugin/UniqueRuxItem.h"

#include "log/OlvLog.h"
#include "runtime/CodePageConverter.h"

#include <algorithm>
#include <cwchar>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace {

constexpr int VersionCount = 4;

enum class Push { Delivered, NotBuilt, NotConnected, NotDelivered };

// The end of every push: sends `item`, just built (null when that failed), to
// the service "SB" of sink `sinkName` with `send`, as one exchange of at most
// PushExchangeMilliseconds, releases it, and logs `buildFailed` or
// `sendFailed` at level 3 when that step failed. Through `gate` (null: the
// final status, which Destroy sends after closing it), and cancelled with it.
Push PushItem(ExchangeGate* gate, const std::string& sinkName, UniqueRuxItem item,
              int32_t (*send)(RuxService, RuxItem), const wchar_t* buildFailed, const wchar_t* sendFailed)
{
    if (!item.valid()) {
        OlvLog_Print(OlvLogError, buildFailed);
        return Push::NotBuilt;
    }
    std::optional<ExchangeGate::Pass> pass;
    if (gate) {
        pass.emplace(*gate);
        if (!pass->Entered())
            return Push::NotConnected;  // Destroy has begun: its status is the last message
    }
    RuxExchange exchange{RuxUIClient::PushExchangeMilliseconds, gate ? gate->CancelEvent() : nullptr, nullptr};
    AutoServiceConnect connection(sinkName.c_str(), "SB", &exchange);
    if (!connection.connect())
        return Push::NotConnected;
    int32_t delivered = send(connection.Service(), item.get());
    item.reset();
    if (!delivered) {
        OlvLog_Print(OlvLogError, sendFailed);
        return Push::NotDelivered;
    }
    return Push::Delivered;
}

int32_t Advise(RuxService service, RuxItem item)
{
    return RuxAdvise(service, 0, item);
}

int32_t Update(RuxService service, RuxItem item)
{
    return RuxUpdate(service, 0, item);
}

int32_t Call(RuxService service, RuxItem item)
{
    return RuxCall(service, 0, item, 0);
}

}  // namespace

std::string RuxUIClient::ComponentVersionText(const VtComponentVersion& component)
{
    // Bounded: an engine text without its terminator ends at the field's end.
    const wchar_t* text = component.version;
    return WideToAnsi(std::wstring(text, wcsnlen(text, std::size(component.version))));
}

bool RuxUIClient::PushSinkUnlessClosing(std::string& sinkName)
{
    ExclusiveLockHolder holder(lock);
    // After the host's final "Status" 0 nothing else is pushed, also not by a
    // run that was still busy when the host destroyed the client.
    if (closing)
        return false;
    sinkName = serviceName;
    return true;
}

void RuxUIClient::GetVtStatistic(uint32_t session, VtStatistic& statistic)
{
    statistic = VtStatistic{};
    if (!VtApi_SetActiveSession(session)) {
        OlvLog_Print(OlvLogError, L"RuxUIClient::GetVtStatistic: VtApi_SetActiveSession failed");
        return;
    }
    VtStatisticsRecord record{};
    record.size = sizeof record;
    record.version = 1;
    if (!VtApi_GetStatistics(&record)) {
        OlvLog_Print(OlvLogError, L"RuxUIClient::GetVtStatistic: VtApi_GetStatistics failed");
        return;
    }
    statistic.malicious = record.blockedA + record.blockedC;
    statistic.suspicious = record.suspicious;
    statistic.ignored = 0;
    statistic.harmfulDataSize = record.harmfulDataSize;
}

bool RuxUIClient::AdviseUI()
{
    // Read before the lock, as the engine's session is set before it: a change
    // meanwhile signals the advise event, and the next push follows it.
    uint32_t session = OLV_TS_UNCHECKED_READ(sessionId).load();
    if (session == NoSession)
        return false;
    if (!VtApi_SetActiveSession(session)) {
        OlvLog_Print(OlvLogError, L"RuxUIClient::AdviseUI: VtApi_SetActiveSession failed");
        return false;
    }

    std::string sinkName;
    if (!PushSinkUnlessClosing(sinkName))
        return false;
    OlvLog_Print(OlvLogImportant, L"RuxUIClient::AdviseUI");

    VtStatistic statistic;
    GetVtStatistic(session, statistic);

    std::string versions[VersionCount] = {"0.0.0.0", "0.0.0.0", "0.0.0.0", "0.0.0.0"};
    // 160 KiB: too large for a pool thread's stack.
    auto info = std::make_unique<VtVersionInfo>();
    info->count = VtVersionInfoCapacity;
    if (VtApi_Query_VersionInfo(info.get())) {
        uint32_t count = std::min<uint32_t>(info->count, VersionCount);
        for (uint32_t i = 0; i < count; ++i)
            versions[i] = ComponentVersionText(info->entries[i]);
    } else {
        OlvLog_Print(OlvLogError, L"RuxUIClient::AdviseUI: failed to get list of components versions");
        versions[0] = WideToAnsi(GetFileVersionString(GetModulePath()));
    }

    int32_t running = VtApi_IsVantorStarted() ? 1 : 0;
    {
        ExclusiveLockHolder holder(lock);
        // Destroy's status 0 stays what the client holds.
        if (closing)
            return false;
        status = running;
    }

    UniqueRuxItem item(RuxBuildItem("{s:i,s:s,s:s,s:s,s:s,s:i,s:i}",                //
                                    "Status", running,                               //
                                    "Version", versions[0].c_str(),                  //
                                    "SpyScanVersion", versions[1].c_str(),           //
                                    "PhishingDBVersion", versions[2].c_str(),        //
                                    "SiteDBVersion", versions[3].c_str(),            //
                                    "HarmfulDataSize", statistic.harmfulDataSize,    //
                                    "TotalSuspiciousBlocked", statistic.suspicious));
    return PushItem(&gate, sinkName, std::move(item), Advise, L"RuxUIClient::AdviseUI: failed build item",
                    L"RuxUIClient::AdviseUI: failed advice data") == Push::Delivered;
}

bool RuxUIClient::UpdateUIStatistic()
{
    // The early "no session" check reads the word without the lock.
    uint32_t session = OLV_TS_UNCHECKED_READ(sessionId).load();
    if (session == NoSession)
        return false;
    std::string sinkName;
    if (!PushSinkUnlessClosing(sinkName))
        return false;
    OlvLog_Print(OlvLogTrace, L"RuxUIClient::UpdateUIStatistic");

    VtStatistic statistic;
    GetVtStatistic(session, statistic);
    UniqueRuxItem item(RuxBuildItem("{s:i,s:i,s:i,s:i}",                            //
                                    "TotalMaliciousBlocked", statistic.malicious,    //
                                    "TotalSuspiciousBlocked", statistic.suspicious,  //
                                    "TotalIgnored", statistic.ignored,               //
                                    "HarmfulDataSize", statistic.harmfulDataSize));
    return PushItem(&gate, sinkName, std::move(item), Update, L"RuxUIClient::UpdateUIStatistic: failed build item",
                    L"RuxUIClient::UpdateUIStatistic: failed update data") == Push::Delivered;
}

bool RuxUIClient::UpdateUIVtStatus()
{
    // The early "no session" check reads the word without the lock.
    if (OLV_TS_UNCHECKED_READ(sessionId).load() == NoSession)
        return false;
    std::string sinkName;
    int32_t current;
    {
        ExclusiveLockHolder holder(lock);
        sinkName = serviceName;
        current = status.load();
    }
    OlvLog_Print(OlvLogTrace, L"RuxUIClient::UpdateUIVtStatus");
    // Not through the gate: Destroy closed it for this last message.
    return PushItem(nullptr, sinkName, UniqueRuxItem(RuxBuildItem("{s:i}", "Status", current)), Update,
                    L"RuxUIClient::UpdateUIVtStatus: failed build item",
                    L"RuxUIClient::UpdateUIVtStatus: failed update data") == Push::Delivered;
}

int32_t RuxUIClient::Perform()
{
    // The early "no session" check reads the word without the lock.
    if (OLV_TS_UNCHECKED_READ(sessionId).load() == NoSession)
        return -1;
    std::string sinkName;
    {
        ExclusiveLockHolder holder(lock);
        sinkName = serviceName;
    }
    OlvLog_Print(OlvLogTrace, L"RuxUIClient::Perform");

    // A call that was built counts as made, delivered or not.
    Push pushed = PushItem(&gate, sinkName, UniqueRuxItem(RuxBuildItem("s", "ShowSBSettingDialog")), Call,
                           L"Failed to create hProc for setting call", L"Failed RuxCall for setting call");
    return pushed == Push::NotBuilt || pushed == Push::NotConnected ? -1 : 0;
}
