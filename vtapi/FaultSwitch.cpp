#include "vtapi/FaultSwitch.h"

#include <algorithm>
#include <string>

namespace {

std::wstring FailValueName(EngineCall call)
{
    return std::wstring(L"Fault.") + EngineCallName(call);
}

std::wstring DelayValueName(EngineCall call)
{
    return std::wstring(L"Delay.") + EngineCallName(call);
}

}  // namespace

DWORD FaultSwitch::Get(EngineCall call, FaultSetting& setting) const
{
    // Both switches in one open: every engine call reads them.
    const std::wstring fail = FailValueName(call);
    const std::wstring delay = DelayValueName(call);
    const wchar_t* const names[] = {fail.c_str(), delay.c_str()};
    std::optional<DWORD> values[2];
    DWORD error = state_.ReadDwords(EngineState::FaultsKeyPath, names, values);
    if (error != ERROR_SUCCESS)
        return error;
    setting.fail = values[0].value_or(0) != 0;
    setting.delayMs = std::min(values[1].value_or(0), FaultDelayMaxMs);
    return ERROR_SUCCESS;
}

DWORD FaultSwitch::SetFail(EngineCall call, bool fail) const
{
    if (!fail)
        return state_.DeleteValue(EngineState::FaultsKeyPath, FailValueName(call).c_str());
    return state_.WriteDword(EngineState::FaultsKeyPath, FailValueName(call).c_str(), 1);
}

DWORD FaultSwitch::SetDelay(EngineCall call, DWORD delayMs) const
{
    if (delayMs > FaultDelayMaxMs)
        return ERROR_INVALID_PARAMETER;
    if (delayMs == 0)
        return state_.DeleteValue(EngineState::FaultsKeyPath, DelayValueName(call).c_str());
    return state_.WriteDword(EngineState::FaultsKeyPath, DelayValueName(call).c_str(), delayMs);
}

DWORD FaultSwitch::Clear(EngineCall call) const
{
    DWORD error = state_.DeleteValue(EngineState::FaultsKeyPath, FailValueName(call).c_str());
    DWORD delayError = state_.DeleteValue(EngineState::FaultsKeyPath, DelayValueName(call).c_str());
    return error != ERROR_SUCCESS ? error : delayError;
}

DWORD FaultSwitch::ClearAll() const
{
    return state_.DeleteKey(EngineState::FaultsKeyPath);
}

FaultSetting FaultSwitch::WaitDelay(EngineCall call, FaultSetting setting) const
{
    const DWORD start = GetTickCount();
    UniqueKey faults;
    UniqueEvent changed(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!changed.valid() || state_.OpenKey(EngineState::FaultsKeyPath, KEY_NOTIFY, faults) != ERROR_SUCCESS) {
        Sleep(setting.delayMs);
        return setting;
    }
    for (;;) {
        // Armed before the switches are read again, so that no change made
        // in between goes unseen. The watch ends with the key's handle.
        bool armed = RegNotifyChangeKeyValue(faults.get(), FALSE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                                             changed.get(), TRUE) == ERROR_SUCCESS;
        FaultSetting now;
        if (Get(call, now) == ERROR_SUCCESS)
            setting = now;
        DWORD waited = GetTickCount() - start;
        if (waited >= setting.delayMs)
            return setting;
        if (!armed) {
            Sleep(setting.delayMs - waited);
            return setting;
        }
        if (WaitForSingleObject(changed.get(), setting.delayMs - waited) != WAIT_OBJECT_0)
            return setting;
    }
}

bool FaultSwitch::Pass(EngineCall call) const
{
    FaultSetting setting;
    if (Get(call, setting) != ERROR_SUCCESS)
        return true;
    if (setting.delayMs != 0)
        setting = WaitDelay(call, setting);
    return !setting.fail;
}
