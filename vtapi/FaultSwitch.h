// Fault switches of the simulated engine, under "Software\Halvern\OLV\Faults":
//
//   "Fault.<call>"  REG_DWORD  non-zero: the call fails (returns 0)
//   "Delay.<call>"  REG_DWORD  milliseconds the call waits before it answers
//
// <call> is the exported name, for example "Fault.VtApi_GetStatistics". A
// delayed call waits first and then fails or works as its fault switch says,
// so a slow failing engine can be simulated too. Switches are read at every
// call, so that a change made by another process takes effect at once; a call
// that is waiting out its delay watches them too, so that clearing or
// shortening its delay (vtctl fault clear) lets it go on at once, as of the
// new delay counted from the call's start. A driver can so hold a call as long
// as it needs and release it when it chooses, without guessing a time.
#pragma once

#include "vtapi/EngineCall.h"
#include "vtapi/EngineState.h"

// The longest delay a call honours: a stored value above it (or a hand-edited
// 0xFFFFFFFF) must not hang the caller for ever.
constexpr DWORD FaultDelayMaxMs = 600000;

// Error a call reports with GetLastError when its fault switch makes it fail.
constexpr DWORD FaultInjectedError = ERROR_GEN_FAILURE;

struct FaultSetting {
    bool fail = false;
    DWORD delayMs = 0;
};

class FaultSwitch {
public:
    explicit FaultSwitch(const EngineState& state) noexcept : state_(state) {}

    // Missing switches read as "no fault". Returns a registry error other than
    // "not found".
    DWORD Get(EngineCall call, FaultSetting& setting) const;
    DWORD SetFail(EngineCall call, bool fail) const;
    // A delay of 0 removes the switch; more than FaultDelayMaxMs is refused.
    DWORD SetDelay(EngineCall call, DWORD delayMs) const;
    DWORD Clear(EngineCall call) const;
    DWORD ClearAll() const;

    // Runs at the start of every engine call: waits the call's delay, then
    // returns false when the call is to fail (as switched when the wait ends).
    // A switch that cannot be read counts as off, so that a damaged Faults key
    // never fails the engine.
    bool Pass(EngineCall call) const;

private:
    // Waits out the delay of `setting`, following changes of the switches;
    // gives the switches as they are at the end.
    FaultSetting WaitDelay(EngineCall call, FaultSetting setting) const;

    const EngineState& state_;
};
