// The simulated engine's state in the user's registry, set aside before the
// fuzzer's commands change it ("Enable", "ApplySBSetting", "ResetMessage") and
// put back afterwards, so that a run leaves the engine as it found it.
#pragma once

#include <string>

class EngineStateBackup {
public:
    EngineStateBackup() = default;
    EngineStateBackup(const EngineStateBackup&) = delete;
    EngineStateBackup& operator=(const EngineStateBackup&) = delete;

    // Copies the state key to a key of this process. False with a reason.
    bool Save(std::string& error);
    // Replaces the state key with the copy (or removes it when there was
    // none) and removes the copy. False with a reason.
    bool Restore(std::string& error);

    static constexpr const wchar_t* StateKeyPath = L"Software\\Halvern\\OLV";

private:
    std::wstring backupPath_;
    bool saved_ = false;
    bool existed_ = false;
};
