// The exports of VtApi.dll: the simulated engine as the plug-in calls it. The
// calls themselves, with their sessions, fault switches and errors, are in
// EngineApi.h.
#include "contracts/VtApi.h"

#include "vtapi/EngineApi.h"

VTAPI_API int32_t VtApi_SetActiveSession(uint32_t sessionId)
{
    return EngineApi::SetActiveSession(sessionId);
}

VTAPI_API int32_t VtApi_IsVantorStarted(void)
{
    return EngineApi::IsVantorStarted();
}

VTAPI_API int32_t VtApi_StartVantor(int32_t reserved)
{
    return EngineApi::StartVantor(reserved);
}

VTAPI_API int32_t VtApi_StopVantor(int32_t reserved)
{
    return EngineApi::StopVantor(reserved);
}

VTAPI_API int32_t VtApi_GetConfigOption(int32_t optionId)
{
    return EngineApi::GetConfigOption(optionId);
}

VTAPI_API int32_t VtApi_SetConfigOption(int32_t optionId, int32_t value)
{
    return EngineApi::SetConfigOption(optionId, value);
}

VTAPI_API int32_t VtApi_NotifySettingsChange(void)
{
    return EngineApi::NotifySettingsChange();
}

VTAPI_API int32_t VtApi_ClearVirtualData(void)
{
    return EngineApi::ClearVirtualData();
}

VTAPI_API int32_t VtApi_ResetMessages(void)
{
    return EngineApi::ResetMessages();
}

VTAPI_API int32_t VtApi_GetStatistics(VtStatisticsRecord* record)
{
    return EngineApi::GetStatistics(record);
}

VTAPI_API int32_t VtApi_Query_VersionInfo(VtVersionInfo* info)
{
    return EngineApi::QueryVersionInfo(info);
}
