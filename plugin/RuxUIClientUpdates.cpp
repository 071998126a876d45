// The messages the client sends to its session's user interface on its own:
// the full status, the statistics, the status alone and the settings dialog
// request. Each goes over a connection of its own to "QClient(%d)", service "SB".
#include "plugin/AutoServiceConnect.h"
#include "plugin/FileVersion.h"
#include "plugin/ModulePath.h"
#include "plugin/RuxUIClient.h"
#include "contracts/VtApi.h"

#include "log/OlvLog.h"
#include "runtime/CodePageConverter.h"

#include <algorithm>
#include <cwchar>
#include <memory>
#include <string>

namespace {

constexpr int VersionCount = 4;

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
    uint32_t session = sessionId.load();
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

    RuxItem item = RuxBuildItem("{s:i,s:s,s:s,s:s,s:s,s:i,s:i}",                //
                                "Status", status.load(),                         //
                                "Version", versions[0].c_str(),                  //
                                "SpyScanVersion", versions[1].c_str(),           //
                                "PhishingDBVersion", versions[2].c_str(),        //
                                "SiteDBVersion", versions[3].c_str(),            //
                                "HarmfulDataSize", statistic.harmfulDataSize,    //
                                "TotalSuspiciousBlocked", statistic.suspicious);
    if (!item) {
        OlvLog_Print(OlvLogError, L"RuxUIClient::AdviseUI: failed build item");
        return false;
    }
    int32_t delivered = RuxAdvise(connection.Service(), 0, item);
    RuxReleaseItem(item);
    if (!delivered) {
        OlvLog_Print(OlvLogError, L"RuxUIClient::AdviseUI: failed advice data");
        return false;
    }
    return true;
}

bool RuxUIClient::UpdateUIStatistic()
{
    if (sessionId.load() == NoSession)
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
    RuxItem item = RuxBuildItem("{s:i,s:i,s:i,s:i}",                            //
                                "TotalMaliciousBlocked", statistic.malicious,    //
                                "TotalSuspiciousBlocked", statistic.suspicious,  //
                                "TotalIgnored", statistic.ignored,               //
                                "HarmfulDataSize", statistic.harmfulDataSize);
    if (!item) {
        OlvLog_Print(OlvLogError, L"RuxUIClient::UpdateUIStatistic: failed build item");
        return false;
    }
    int32_t delivered = RuxUpdate(connection.Service(), 0, item);
    RuxReleaseItem(item);
    if (!delivered) {
        OlvLog_Print(OlvLogError, L"RuxUIClient::UpdateUIStatistic: failed update data");
        return false;
    }
    return true;
}

bool RuxUIClient::UpdateUIVtStatus()
{
    if (sessionId.load() == NoSession)
        return false;
    ExclusiveLockHolder holder(lock);
    OlvLog_Print(OlvLogTrace, L"RuxUIClient::UpdateUIVtStatus");
    AutoServiceConnect connection(serviceName.c_str(), "SB");
    if (!connection.connect())
        return false;

    RuxItem item = RuxBuildItem("{s:i}", "Status", status.load());
    if (!item) {
        OlvLog_Print(OlvLogError, L"RuxUIClient::UpdateUIVtStatus: failed build item");
        return false;
    }
    int32_t delivered = RuxUpdate(connection.Service(), 0, item);
    RuxReleaseItem(item);
    if (!delivered) {
        OlvLog_Print(OlvLogError, L"RuxUIClient::UpdateUIVtStatus: failed update data");
        return false;
    }
    return true;
}

int32_t RuxUIClient::Perform()
{
    if (sessionId.load() == NoSession)
        return -1;
    ExclusiveLockHolder holder(lock);
    OlvLog_Print(OlvLogTrace, L"RuxUIClient::Perform");
    AutoServiceConnect connection(serviceName.c_str(), "SB");
    if (!connection.connect())
        return -1;

    RuxItem item = RuxBuildItem("s", "ShowSBSettingDialog");
    if (!item) {
        OlvLog_Print(OlvLogError, L"Failed to create hProc for setting call");
        return -1;
    }
    if (!RuxCall(connection.Service(), 0, item, 0))
        OlvLog_Print(OlvLogError, L"Failed RuxCall for setting call");
    RuxReleaseItem(item);
    return 0;
}
