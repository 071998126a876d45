// The engine API VtApi.dll as the plug-in calls it. Results are int32 and 0
// means failure unless a comment says otherwise. Calls that depend on the
// session act on the session set last by VtApi_SetActiveSession.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef VTAPI_BUILDING_DLL
#define VTAPI_API extern "C" __declspec(dllexport)
#else
#define VTAPI_API extern "C" __declspec(dllimport)
#endif

struct VtStatisticsRecord {
    uint32_t size;      // set to 44 by the caller
    uint32_t version;   // set to 1 by the caller
    uint32_t blockedA;  // malicious = blockedA + blockedC
    uint32_t suspicious;
    uint32_t blockedC;
    uint32_t reserved[5];
    uint32_t harmfulDataSize;
};
static_assert(sizeof(VtStatisticsRecord) == 44);
static_assert(offsetof(VtStatisticsRecord, blockedA) == 8);
static_assert(offsetof(VtStatisticsRecord, suspicious) == 12);
static_assert(offsetof(VtStatisticsRecord, blockedC) == 16);
static_assert(offsetof(VtStatisticsRecord, harmfulDataSize) == 40);

constexpr uint32_t VtVersionInfoCapacity = 128;

struct VtComponentVersion {
    uint8_t opaque[1024];
    wchar_t version[128];  // zero-terminated UTF-16
};
static_assert(sizeof(VtComponentVersion) == 1280);
static_assert(offsetof(VtComponentVersion, version) == 1024);

#pragma pack(push, 4)
struct VtVersionInfo {
    uint32_t count;  // in: capacity (128); out: entries filled
    VtComponentVersion entries[VtVersionInfoCapacity];
};
#pragma pack(pop)
static_assert(sizeof(VtVersionInfo) == 163844);
static_assert(offsetof(VtVersionInfo, entries) == 4);

VTAPI_API int32_t VtApi_SetActiveSession(uint32_t sessionId);
VTAPI_API int32_t VtApi_IsVantorStarted(void);
VTAPI_API int32_t VtApi_StartVantor(int32_t reserved);
VTAPI_API int32_t VtApi_StopVantor(int32_t reserved);
// Returns the option's value (used as a boolean).
VTAPI_API int32_t VtApi_GetConfigOption(int32_t optionId);
VTAPI_API int32_t VtApi_SetConfigOption(int32_t optionId, int32_t value);
VTAPI_API int32_t VtApi_NotifySettingsChange(void);
VTAPI_API int32_t VtApi_ClearVirtualData(void);
VTAPI_API int32_t VtApi_ResetMessages(void);
VTAPI_API int32_t VtApi_GetStatistics(VtStatisticsRecord* record);
VTAPI_API int32_t VtApi_Query_VersionInfo(VtVersionInfo* info);
