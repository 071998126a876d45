// The messages the client sends to its session's user interface on its own:
// the full status, the statistics, the status alone and the settings dialog
// request. Each goes over a connection of its own to "QClient(%d)", service "SB".
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
#include <string>
#include <utility>

namespace {

constexpr int VersionCount = 4;

enum class Push { Delivered, NotBuilt, NotDelivered };

// The end of every push: sends `item`, just built (null when that failed), on
// `service` with `send`, releases it, and logs `buildFailed` or `sendFailed`
// at level 3 when that step failed.
Push PushItem(RuxService service, UniqueRuxItem item, int32_t (*send)(RuxService, RuxItem),
              const wchar_t* buildFailed, const wchar_t* sendFailed)
{
    if (!item.valid()) {
        OlvLog_Print(OlvLogError, buildFailed);
        return Push::NotBuilt;
    }
    int32_t delivered = send(service, item.get());
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

void RuxUIClient::GetVtStatistic(VtStatistic& statistic)
{
    statistic = VtStatistic{};
    if (!VtApi_SetActiveSession(sessionId.load())) {
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

    ExclusiveLockHolder holder(lock);
    // After the host's final "Status" 0 nothing else is pushed, also not by a
    // run that was still busy when the host destroyed the client.
    if (closing)
        return false;
    OlvLog_Print(OlvLogImportant, L"RuxUIClient::AdviseUI");
    AutoServiceConnect connection(serviceName.c_str(), "SB");
    if (!connection.connect())
        return false;

    VtStatistic statistic;
    GetVtStatistic(statistic);

    std::string versions[VersionCount] = {"0.0.0.0", "0.0.0.0", "0.0.0.0", "0.0.0.0"};
    // 160 KiB: too large for a pool thread's stack.
    auto info = std::make_unique<VtVersionInfo>();
    info->count = VtVersionInfoCapacity;
    if (VtApi_Query_VersionInfo(info.get())) {
        uint32_t count = std::min<uint32_t>(info->count, VersionCount);
        for (uint32_t i = 0; i < count; ++i) {
            const wchar_t* text = info->entries[i].version;
            // Bounded: an engine text without its terminator ends at the field's end.
            versions[i] = WideToAnsi(std::wstring(text, wcsnlen(text, std::size(info->entries[i].version))));
        }
    } else {
        OlvLog_Print(OlvLogError, L"RuxUIClient::AdviseUI: failed to get list of components versions");
        versions[0] = WideToAnsi(GetFileVersionString(GetModulePath()));
    }

    status = VtApi_IsVantorStarted() ? 1 : 0;

    UniqueRuxItem item(RuxBuildItem("{s:i,s:s,s:s,s:s,s:s,s:i,s:i}",                //
                                    "Status", status.load(),                         //
                                    "Version", versions[0].c_str(),                  //
                                    "SpyScanVersion", versions[1].c_str(),           //
                                    "PhishingDBVersion", versions[2].c_str(),        //
                                    "SiteDBVersion", versions[3].c_str(),            //
                                    "HarmfulDataSize", statistic.harmfulDataSize,    //
                                    "TotalSuspiciousBlocked", statistic.suspicious));
    return PushItem(connection.Service(), std::move(item), Advise, L"RuxUIClient::AdviseUI: failed build item",
                    L"RuxUIClient::AdviseUI: failed advice data") == Push::Delivered;
}

bool RuxUIClient::UpdateUIStatistic()
{
    // The early "no session" check reads the word without the lock.
    if (OLV_TS_UNCHECKED_READ(sessionId).load() == NoSession)
        return false;
    ExclusiveLockHolder holder(lock);
    if (closing)
        return false;
    OlvLog_Print(OlvLogTrace, L"RuxUIClient::UpdateUIStatistic");
    AutoServiceConnect connection(serviceName.c_str(), "SB");
    if (!connection.connect())
        return false;

    VtStatistic statistic;
    GetVtStatistic(statistic);
    UniqueRuxItem item(RuxBuildItem("{s:i,s:i,s:i,s:i}",                            //
                                    "TotalMaliciousBlocked", statistic.malicious,    //
                                    "TotalSuspiciousBlocked", statistic.suspicious,  //
                                    "TotalIgnored", statistic.ignored,               //
                                    "HarmfulDataSize", statistic.harmfulDataSize));
    return PushItem(connection.Service(), std::move(item), Update, L"RuxUIClient::UpdateUIStatistic: failed build item",
                    L"RuxUIClient::UpdateUIStatistic: failed update data") == Push::Delivered;
}

bool RuxUIClient::UpdateUIVtStatus()
{
    // The early "no session" check reads the word without the lock.
    if (OLV_TS_UNCHECKED_READ(sessionId).load() == NoSession)
        return false;
    ExclusiveLockHolder holder(lock);
    OlvLog_Print(OlvLogTrace, L"RuxUIClient::UpdateUIVtStatus");
    AutoServiceConnect connection(serviceName.c_str(), "SB");
    if (!connection.connect())
        return false;

    return PushItem(connection.Service(), UniqueRuxItem(RuxBuildItem("{s:i}", "Status", status.load())), Update,
                    L"RuxUIClient::UpdateUIVtStatus: failed build item",
                    L"RuxUIClient::UpdateUIVtStatus: failed update data") == Push::Delivered;
}

int32_t RuxUIClient::Perform()
{
    // The early "no session" check reads the word without the lock.
    if (OLV_TS_UNCHECKED_READ(sessionId).load() == NoSession)
        return -1;
    ExclusiveLockHolder holder(lock);
    OlvLog_Print(OlvLogTrace, L"RuxUIClient::Perform");
    AutoServiceConnect connection(serviceName.c_str(), "SB");
    if (!connection.connect())
        return -1;

    // A call that was built counts as made, delivered or not.
    Push pushed = PushItem(connection.Service(), UniqueRuxItem(RuxBuildItem("s", "ShowSBSettingDialog")), Call,
                           L"Failed to create hProc for setting call", L"Failed RuxCall for setting call");
    return pushed == Push::NotBuilt ? -1 : 0;
}
