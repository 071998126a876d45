// The simulated engine's lasting state, kept in the registry of the calling
// thread's user (an impersonating thread reaches the user it impersonates):
//
//   Software\Halvern\OLV            "Running"          REG_DWORD  0 or 1
//                                   "Option.N"         REG_DWORD  applied value of option N (1..11)
//                                   "Pending.N"        REG_DWORD  set, not yet applied by NotifySettingsChange
//                                   "SettingsApplied"  REG_DWORD  how often pending options were applied
//                                   "Components"       REG_MULTI_SZ "NAME=VERSION", in report order
//                                   "Messages"         REG_DWORD  messages waiting; ResetMessages zeroes it
//                                   "VirtualDataPath"  REG_SZ     folder that ClearVirtualData empties
//                                   "Sessions"         REG_MULTI_SZ decimal ids of sessions with a user
//   Software\Halvern\OLV\Stats      one REG_DWORD per statistics field (StatisticsField.h)
//   Software\Halvern\OLV\Faults     fault switches (FaultSwitch.h)
//
// Absent values read as their defaults: not running, every option 1, the
// default component list, no messages, %TEMP%\OLVVirtual, no listed sessions,
// zero counters. Every operation returns a Win32 error code, ERROR_SUCCESS on
// success; out-parameters are untouched on failure.
//
// An object keeps the three state keys open once it has used them, so that an
// engine call costs one open per key rather than one per value. It is meant for
// one thread at a time: each engine call makes its own.
#pragma once

#include "vtapi/ComponentList.h"
#include "runtime/base/UniqueHandle.h"
#include "vtapi/StatisticsField.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

using StatisticsValues = std::array<uint32_t, StatisticsFieldCount>;

class EngineState {
public:
    static constexpr const wchar_t* BaseKeyPath = L"Software\\Halvern\\OLV";
    static constexpr const wchar_t* StatsKeyPath = L"Software\\Halvern\\OLV\\Stats";
    static constexpr const wchar_t* FaultsKeyPath = L"Software\\Halvern\\OLV\\Faults";

    static constexpr int32_t DefaultOptionValue = 1;

    // Opens the calling thread's user root; error() tells whether that worked.
    EngineState() noexcept;
    DWORD error() const noexcept { return rootError_; }

    DWORD GetRunning(bool& running) const;
    // Starting also creates the "Stats" key when missing.
    DWORD SetRunning(bool running) const;

    // Option ids outside 1..11 give ERROR_INVALID_PARAMETER.
    DWORD GetOption(int32_t id, int32_t& value) const;
    DWORD SetOption(int32_t id, int32_t value) const;
    // Under the state lock, like every change that ApplyPendingOptions or
    // AddToStatistic could otherwise overwrite.
    DWORD SetPendingOption(int32_t id, int32_t value) const;
    // present is false when the option has no pending value.
    DWORD GetPendingOption(int32_t id, bool& present, int32_t& value) const;
    // Moves every pending value into its option and counts one application,
    // under the state lock. applied is the number of options moved.
    DWORD ApplyPendingOptions(unsigned& applied) const;
    DWORD GetSettingsApplied(uint32_t& count) const;

    // usingDefaults is true when no list has been stored.
    DWORD GetComponents(std::vector<EngineComponent>& components, bool& usingDefaults) const;
    DWORD SetComponents(const std::vector<EngineComponent>& components) const;

    DWORD GetStatistics(StatisticsValues& values) const;
    DWORD SetStatistic(std::size_t field, uint32_t value) const;
    // Adds n under the state lock; ERROR_ARITHMETIC_OVERFLOW (nothing written)
    // when the sum does not fit 32 bits.
    DWORD AddToStatistic(std::size_t field, uint32_t n, uint32_t& result) const;
    // Creates the "Stats" key when missing, so that a watcher can open it.
    DWORD EnsureStatsKey() const;

    DWORD GetMessages(uint32_t& count) const;
    DWORD SetMessages(uint32_t count) const;

    DWORD GetVirtualDataPath(std::wstring& path) const;
    // An empty path removes the value, which restores the default.
    DWORD SetVirtualDataPath(const std::wstring& path) const;

    DWORD GetSessions(std::vector<uint32_t>& sessions) const;
    DWORD SetSessions(const std::vector<uint32_t>& sessions) const;

    // Removes the whole state tree; a state that does not exist is no error.
    DWORD Remove() const;

    // Plain value access below the user's root, for the fault switches and
    // tools. ReadDword gives ERROR_FILE_NOT_FOUND for a missing key or value.
    DWORD ReadDword(const wchar_t* keyPath, const wchar_t* name, DWORD& value) const;
    DWORD WriteDword(const wchar_t* keyPath, const wchar_t* name, DWORD value) const;
    // Deleting a value or key that does not exist is no error.
    DWORD DeleteValue(const wchar_t* keyPath, const wchar_t* name) const;
    DWORD DeleteKey(const wchar_t* keyPath) const;

private:
    // Index of a state key in keys_, or -1 for any other path.
    static int CachedKeyIndex(const wchar_t* keyPath) noexcept;
    // Runs operation(HKEY) on the key at keyPath, opening it (creating it when
    // create is set) unless it is held open already. ERROR_FILE_NOT_FOUND when
    // the key is missing and not to be created.
    template <typename Operation>
    DWORD WithKey(const wchar_t* keyPath, bool create, Operation&& operation) const;
    void ForgetKeys() const noexcept;

    DWORD ReadString(const wchar_t* name, DWORD type, std::wstring& data) const;
    DWORD WriteString(const wchar_t* name, DWORD type, const std::wstring& data) const;

    // The root outlives the keys opened below it. root_ is HKEY_CURRENT_USER,
    // which is never closed, or the key held by ownedRoot_.
    UniqueKey ownedRoot_;
    HKEY root_ = nullptr;
    DWORD rootError_ = ERROR_SUCCESS;
    // Base, Stats and Faults keys, opened on first use.
    mutable UniqueKey keys_[3];
};
