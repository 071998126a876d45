// The engine API's calls, as VtApi.dll exports them (contracts/VtApi.h: the
// same arguments, results and last-error values), in the library so that the
// engine's tests reach them with the seams of this library installed.
//
// Every call first passes its fault switch (a delay, then perhaps an injected
// failure), then works on the engine state it reaches (EngineState.h). A
// failing call returns 0 and sets the thread's last-error value;
// IsVantorStarted and GetConfigOption, whose 0 can also be an answer, set it to
// ERROR_SUCCESS when they answer. No exception leaves a call.
//
// Sessions: the API keeps one active session per module (the engine serves
// each client process on its own), with the user logged on to it
// (SessionUsers). Once a session is set, every call, its fault switches
// included, acts on that user's state, opened by that user's SID whatever the
// calling thread runs as: a host running as LocalSystem reads and writes the
// state the session's user sees with vtctl, and the "Stats" key that user's
// watch is armed on. Before the first session, calls act on the calling
// thread's user. SetActiveSession reads the switches and the session list of
// the user it switches to.
//
// A session "has a logged-on user" when the system names its user and it is
// the active console session or is listed in that user's "Sessions" value;
// the list stands in for the logon check of the real system, under which
// (under Wine) every session number would otherwise count. ClearVirtualData
// and GetStatistics act on the active session and fail while there is none.
#pragma once

#include "contracts/VtApi.h"

#include <cstdint>

namespace EngineApi {

int32_t SetActiveSession(uint32_t sessionId) noexcept;
int32_t IsVantorStarted() noexcept;
int32_t StartVantor(int32_t reserved) noexcept;
int32_t StopVantor(int32_t reserved) noexcept;
int32_t GetConfigOption(int32_t optionId) noexcept;
int32_t SetConfigOption(int32_t optionId, int32_t value) noexcept;
int32_t NotifySettingsChange() noexcept;
int32_t ClearVirtualData() noexcept;
int32_t ResetMessages() noexcept;
int32_t GetStatistics(VtStatisticsRecord* record) noexcept;
int32_t QueryVersionInfo(VtVersionInfo* info) noexcept;

}  // namespace EngineApi
