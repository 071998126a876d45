// The simulated engine's lasting state, kept in the registry of one user: the
// user named by SID, in that user's hive under HKEY_USERS whoever calls (the
// engine serving a session, also from a LocalSystem host); or, for a state made
// without a SID (vtctl, the tests, an engine before its first session), the
// calling thread's user (an impersonating thread reaches the user it
// impersonates). So a user's own tools and a host serving that user's session
// see the same state:
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
// An EngineState holds only the SID it was given. Each operation opens the
// user's root (for a state without SID: the calling thread's user as it is at
// that moment) and the key it needs below it, and closes both before it
// returns; so one object serves any thread, also one that starts or ends
// impersonating between two calls, and no handle keeps a user's hive loaded
// after that user has logged off (the hive is then gone, and the operations
// fail with the registry's error).
#pragma once

#include "vtapi/ComponentList.h"
#include "vtapi/StatisticsField.h"
#include "base/UniqueHandle.h"

#include <windows.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

using StatisticsValues = std::array<uint32_t, StatisticsFieldCount>;

class EngineState {
public:
    static constexpr const wchar_t* BaseKeyPath = L"Software\\Halvern\\OLV";
    static constexpr const wchar_t* StatsKeyPath = L"Software\\Halvern\\OLV\\Stats";
    static constexpr const wchar_t* FaultsKeyPath = L"Software\\Halvern\\OLV\\Faults";

    static constexpr int32_t DefaultOptionValue = 1;

    // The calling thread's user.
    EngineState() = default;
    // The user whose SID, in its string form ("S-1-5-21-..."), is given.
    explicit EngineState(std::wstring userSid) : userSid_(std::move(userSid)) {}

    // The SID given at construction; empty for the calling thread's user.
    const std::wstring& UserSid() const noexcept { return userSid_; }

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
    // Forgets the stored list, so that the defaults return.
    DWORD ResetComponents() const;

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
    // Forgets the listed sessions: only the active console session has a user.
    DWORD ClearSessions() const;

    // Removes the whole state tree; a state that does not exist is no error.
    DWORD Remove() const;

    // Plain value access below the user's root, for the fault switches.
    // ReadDword gives ERROR_FILE_NOT_FOUND for a missing key or value.
    DWORD ReadDword(const wchar_t* keyPath, const wchar_t* name, DWORD& value) const;
    // Reads the DWORD values `names` of one key in one open, into `values`
    // (as many): a missing value, or every value of a missing key, is empty.
    DWORD ReadDwords(const wchar_t* keyPath, std::span<const wchar_t* const> names,
                     std::span<std::optional<DWORD>> values) const;
    DWORD WriteDword(const wchar_t* keyPath, const wchar_t* name, DWORD value) const;
    // Deleting a value or key that does not exist is no error.
    DWORD DeleteValue(const wchar_t* keyPath, const wchar_t* name) const;
    DWORD DeleteKey(const wchar_t* keyPath) const;
    // Opens an existing key below the user's root with `access` (a watch on
    // it, for example); ERROR_FILE_NOT_FOUND when it is missing.
    DWORD OpenKey(const wchar_t* keyPath, REGSAM access, UniqueKey& key) const;

private:
    // What WithKey does when the key is missing.
    enum class KeyOpen {
        Existing,  // fails with ERROR_FILE_NOT_FOUND
        OrNull,    // runs the operation on null: nothing stored, every value missing
        OrCreate,  // creates it
    };

    // Runs operation(HKEY) on the key at keyPath below the user's root, both
    // opened for this call alone.
    template <typename Operation>
    DWORD WithKey(const wchar_t* keyPath, KeyOpen open, Operation&& operation) const;
    // Runs operation(HKEY) on the user's root, opened for this call alone.
    template <typename Operation>
    DWORD WithUserRoot(Operation&& operation) const;

    // A DWORD value of `key`, or `fallback` when the value or the key (null)
    // is missing.
    static DWORD ReadDwordOr(HKEY key, const wchar_t* name, DWORD fallback, DWORD& value);
    // ReadDwordOr on the key at keyPath, stored into `out` as its type.
    template <typename Out>
    DWORD ReadValueOr(const wchar_t* keyPath, const wchar_t* name, DWORD fallback, Out& out) const;
    DWORD ReadString(const wchar_t* name, DWORD type, std::wstring& data) const;
    DWORD WriteString(const wchar_t* name, DWORD type, const std::wstring& data) const;

    std::wstring userSid_;
};
