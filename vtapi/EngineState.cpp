#include "vtapi/EngineState.h"

#include "base/UniqueHandle.h"
#include "vtapi/DecimalNumber.h"
#include "vtapi/MultiString.h"
#include "vtapi/OptionName.h"
#include "vtapi/StateLock.h"

#include <algorithm>
#include <limits>

namespace {

constexpr const wchar_t* RunningValue = L"Running";
constexpr const wchar_t* SettingsAppliedValue = L"SettingsApplied";
constexpr const wchar_t* ComponentsValue = L"Components";
constexpr const wchar_t* MessagesValue = L"Messages";
constexpr const wchar_t* VirtualDataPathValue = L"VirtualDataPath";
constexpr const wchar_t* SessionsValue = L"Sessions";

std::wstring OptionValueName(int32_t id)
{
    return L"Option." + std::to_wstring(id);
}

std::wstring PendingValueName(int32_t id)
{
    return L"Pending." + std::to_wstring(id);
}

// A DWORD value of `key`; ERROR_FILE_NOT_FOUND when it or the key (null) is
// missing.
DWORD QueryDword(HKEY key, const wchar_t* name, DWORD& value)
{
    if (!key)
        return ERROR_FILE_NOT_FOUND;
    DWORD data = 0;
    DWORD size = sizeof(data);
    LSTATUS status = RegGetValueW(key, nullptr, name, RRF_RT_REG_DWORD, nullptr, &data, &size);
    if (status == ERROR_SUCCESS)
        value = data;
    return static_cast<DWORD>(status);
}

DWORD StoreDword(HKEY key, const wchar_t* name, DWORD value)
{
    return static_cast<DWORD>(RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)));
}

}  // namespace

template <typename Operation>
DWORD EngineState::WithUserRoot(Operation&& operation) const
{
    if (!userSid_.empty()) {
        // The user's hive is loaded while the user is logged on; a LocalSystem
        // caller opens it by SID whatever its thread runs as.
        UniqueKey root;
        LSTATUS status = RegOpenKeyExW(HKEY_USERS, userSid_.c_str(), 0, KEY_READ | KEY_WRITE, root.put());
        if (status != ERROR_SUCCESS)
            return static_cast<DWORD>(status);
        return operation(root.get());
    }
    // A thread that impersonates reaches the impersonated user's hive only
    // through RegOpenCurrentUser. Without impersonation that is the process's
    // user, whose HKEY_CURRENT_USER the system keeps open: far cheaper than a
    // fresh RegOpenCurrentUser (hundreds of microseconds under Wine).
    DWORD savedError = GetLastError();
    UniqueToken token;
    bool impersonating = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.put()) != FALSE;
    SetLastError(savedError);
    if (!impersonating)
        return operation(HKEY_CURRENT_USER);
    UniqueKey root;
    LSTATUS status = RegOpenCurrentUser(KEY_READ | KEY_WRITE, root.put());
    if (status != ERROR_SUCCESS)
        return static_cast<DWORD>(status);
    return operation(root.get());
}

template <typename Operation>
DWORD EngineState::WithKey(const wchar_t* keyPath, KeyOpen open, Operation&& operation) const
{
    return WithUserRoot([&](HKEY root) -> DWORD {
        // A key that another process deletes between the open and the
        // operation answers ERROR_KEY_DELETED: open the path again, once.
        DWORD error = ERROR_KEY_DELETED;
        for (int attempt = 0; attempt < 2 && error == ERROR_KEY_DELETED; ++attempt) {
            UniqueKey key;
            LSTATUS status = open == KeyOpen::OrCreate
                ? RegCreateKeyExW(root, keyPath, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, key.put(), nullptr)
                : RegOpenKeyExW(root, keyPath, 0, KEY_READ | KEY_WRITE, key.put());
            if (status == ERROR_FILE_NOT_FOUND && open == KeyOpen::OrNull)
                return operation(HKEY{nullptr});
            if (status != ERROR_SUCCESS)
                return static_cast<DWORD>(status);
            error = operation(key.get());
        }
        return error;
    });
}

DWORD EngineState::ReadDwordOr(HKEY key, const wchar_t* name, DWORD fallback, DWORD& value)
{
    DWORD error = QueryDword(key, name, value);
    if (error != ERROR_FILE_NOT_FOUND)
        return error;
    value = fallback;
    return ERROR_SUCCESS;
}

template <typename Out>
DWORD EngineState::ReadValueOr(const wchar_t* keyPath, const wchar_t* name, DWORD fallback, Out& out) const
{
    DWORD value = 0;
    DWORD error = WithKey(keyPath, KeyOpen::OrNull, [&](HKEY key) { return ReadDwordOr(key, name, fallback, value); });
    if (error == ERROR_SUCCESS)
        out = static_cast<Out>(value);
    return error;
}

DWORD EngineState::ReadDword(const wchar_t* keyPath, const wchar_t* name, DWORD& value) const
{
    return WithKey(keyPath, KeyOpen::Existing, [&](HKEY key) { return QueryDword(key, name, value); });
}

DWORD EngineState::ReadDwords(const wchar_t* keyPath, std::span<const wchar_t* const> names,
                              std::span<std::optional<DWORD>> values) const
{
    std::vector<std::optional<DWORD>> read;
    DWORD error = WithKey(keyPath, KeyOpen::OrNull, [&](HKEY key) -> DWORD {
        read.assign(names.size(), std::nullopt);
        for (std::size_t i = 0; i < names.size(); ++i) {
            DWORD value = 0;
            DWORD failed = QueryDword(key, names[i], value);
            if (failed == ERROR_SUCCESS)
                read[i] = value;
            else if (failed != ERROR_FILE_NOT_FOUND)
                return failed;
        }
        return ERROR_SUCCESS;
    });
    if (error == ERROR_SUCCESS)
        std::copy(read.begin(), read.end(), values.begin());
    return error;
}

DWORD EngineState::WriteDword(const wchar_t* keyPath, const wchar_t* name, DWORD value) const
{
    return WithKey(keyPath, KeyOpen::OrCreate, [&](HKEY key) { return StoreDword(key, name, value); });
}

DWORD EngineState::DeleteValue(const wchar_t* keyPath, const wchar_t* name) const
{
    DWORD error = WithKey(keyPath, KeyOpen::Existing,
                          [&](HKEY key) { return static_cast<DWORD>(RegDeleteValueW(key, name)); });
    return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
}

DWORD EngineState::DeleteKey(const wchar_t* keyPath) const
{
    return WithUserRoot([&](HKEY root) -> DWORD {
        LSTATUS status = RegDeleteTreeW(root, keyPath);
        if (status == ERROR_SUCCESS)
            status = RegDeleteKeyW(root, keyPath);
        return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : static_cast<DWORD>(status);
    });
}

DWORD EngineState::OpenKey(const wchar_t* keyPath, REGSAM access, UniqueKey& key) const
{
    return WithUserRoot([&](HKEY root) -> DWORD {
        UniqueKey opened;
        LSTATUS status = RegOpenKeyExW(root, keyPath, 0, access, opened.put());
        if (status == ERROR_SUCCESS)
            key = std::move(opened);
        return static_cast<DWORD>(status);
    });
}

DWORD EngineState::ReadString(const wchar_t* name, DWORD type, std::wstring& data) const
{
    DWORD flags = type == REG_MULTI_SZ ? RRF_RT_REG_MULTI_SZ : RRF_RT_REG_SZ;
    std::wstring buffer;
    DWORD error = WithKey(BaseKeyPath, KeyOpen::Existing, [&](HKEY key) -> DWORD {
        // The value may grow between the size query and the read (another
        // process writing): go round again until one read fits.
        for (int attempt = 0; attempt < 8; ++attempt) {
            DWORD size = 0;
            LSTATUS status = RegGetValueW(key, nullptr, name, flags, nullptr, nullptr, &size);
            if (status != ERROR_SUCCESS)
                return static_cast<DWORD>(status);
            buffer.assign(size / sizeof(wchar_t) + 2, L'\0');
            DWORD bufferSize = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
            status = RegGetValueW(key, nullptr, name, flags, nullptr, buffer.data(), &bufferSize);
            if (status == ERROR_MORE_DATA)
                continue;
            if (status == ERROR_SUCCESS)
                buffer.resize(bufferSize / sizeof(wchar_t));
            return static_cast<DWORD>(status);
        }
        return ERROR_MORE_DATA;
    });
    if (error != ERROR_SUCCESS)
        return error;
    if (type == REG_SZ) {
        std::size_t end = buffer.find(L'\0');
        if (end != std::wstring::npos)
            buffer.resize(end);
    }
    data = std::move(buffer);
    return ERROR_SUCCESS;
}

DWORD EngineState::WriteString(const wchar_t* name, DWORD type, const std::wstring& data) const
{
    // REG_SZ data carries its terminator; REG_MULTI_SZ data already ends in its
    // own terminators.
    DWORD bytes = static_cast<DWORD>((data.size() + (type == REG_SZ ? 1 : 0)) * sizeof(wchar_t));
    return WithKey(BaseKeyPath, KeyOpen::OrCreate, [&](HKEY key) -> DWORD {
        return static_cast<DWORD>(RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(data.c_str()), bytes));
    });
}

DWORD EngineState::GetRunning(bool& running) const
{
    return ReadValueOr(BaseKeyPath, RunningValue, 0, running);
}

DWORD EngineState::SetRunning(bool running) const
{
    // A running engine keeps statistics: its key is there for a watcher from
    // the start on, not only from the first counted event.
    DWORD error = running ? EnsureStatsKey() : ERROR_SUCCESS;
    return error == ERROR_SUCCESS ? WriteDword(BaseKeyPath, RunningValue, running ? 1 : 0) : error;
}

DWORD EngineState::GetOption(int32_t id, int32_t& value) const
{
    if (!IsOptionId(id))
        return ERROR_INVALID_PARAMETER;
    return ReadValueOr(BaseKeyPath, OptionValueName(id).c_str(), static_cast<DWORD>(DefaultOptionValue), value);
}

DWORD EngineState::SetOption(int32_t id, int32_t value) const
{
    if (!IsOptionId(id))
        return ERROR_INVALID_PARAMETER;
    return WriteDword(BaseKeyPath, OptionValueName(id).c_str(), static_cast<DWORD>(value));
}

DWORD EngineState::SetPendingOption(int32_t id, int32_t value) const
{
    if (!IsOptionId(id))
        return ERROR_INVALID_PARAMETER;
    // Under the lock, so that a value set while pending values are applied is
    // either applied or stays pending, never dropped with the older one.
    StateLock lock;
    if (lock.error() != ERROR_SUCCESS)
        return lock.error();
    return WriteDword(BaseKeyPath, PendingValueName(id).c_str(), static_cast<DWORD>(value));
}

DWORD EngineState::GetPendingOption(int32_t id, bool& present, int32_t& value) const
{
    if (!IsOptionId(id))
        return ERROR_INVALID_PARAMETER;
    DWORD data = 0;
    DWORD error = ReadDword(BaseKeyPath, PendingValueName(id).c_str(), data);
    if (error == ERROR_FILE_NOT_FOUND) {
        present = false;
        return ERROR_SUCCESS;
    }
    if (error == ERROR_SUCCESS) {
        present = true;
        value = static_cast<int32_t>(data);
    }
    return error;
}

DWORD EngineState::ApplyPendingOptions(unsigned& applied) const
{
    StateLock lock;
    if (lock.error() != ERROR_SUCCESS)
        return lock.error();
    unsigned moved = 0;
    DWORD error = WithKey(BaseKeyPath, KeyOpen::OrCreate, [&](HKEY key) -> DWORD {
        moved = 0;
        for (int32_t id = FirstOptionId; id <= LastOptionId; ++id) {
            std::wstring pending = PendingValueName(id);
            DWORD value = 0;
            DWORD failed = QueryDword(key, pending.c_str(), value);
            if (failed == ERROR_FILE_NOT_FOUND)
                continue;
            // Write the option before dropping its pending value, so that a
            // failure in between leaves the value pending rather than lost.
            if (!failed)
                failed = StoreDword(key, OptionValueName(id).c_str(), value);
            if (!failed) {
                failed = static_cast<DWORD>(RegDeleteValueW(key, pending.c_str()));
                if (failed == ERROR_FILE_NOT_FOUND)
                    failed = ERROR_SUCCESS;  // another process dropped it already
            }
            if (failed)
                return failed;
            ++moved;
        }
        DWORD count = 0;
        DWORD failed = ReadDwordOr(key, SettingsAppliedValue, 0, count);
        return failed ? failed : StoreDword(key, SettingsAppliedValue, count + 1);
    });
    if (error == ERROR_SUCCESS)
        applied = moved;
    return error;
}

DWORD EngineState::GetSettingsApplied(uint32_t& count) const
{
    return ReadValueOr(BaseKeyPath, SettingsAppliedValue, 0, count);
}

DWORD EngineState::GetComponents(std::vector<EngineComponent>& components, bool& usingDefaults) const
{
    std::wstring data;
    DWORD error = ReadString(ComponentsValue, REG_MULTI_SZ, data);
    if (error == ERROR_FILE_NOT_FOUND) {
        components = ComponentList::Defaults();
        usingDefaults = true;
        return ERROR_SUCCESS;
    }
    if (error != ERROR_SUCCESS)
        return error;
    components = ComponentList::Decode(data);
    usingDefaults = false;
    return ERROR_SUCCESS;
}

DWORD EngineState::SetComponents(const std::vector<EngineComponent>& components) const
{
    return WriteString(ComponentsValue, REG_MULTI_SZ, ComponentList::Encode(components));
}

DWORD EngineState::ResetComponents() const
{
    return DeleteValue(BaseKeyPath, ComponentsValue);
}

DWORD EngineState::GetStatistics(StatisticsValues& values) const
{
    StatisticsValues read{};
    DWORD error = WithKey(StatsKeyPath, KeyOpen::OrNull, [&](HKEY key) -> DWORD {
        for (std::size_t i = 0; i < StatisticsFieldCount; ++i) {
            DWORD value = 0;
            if (DWORD failed = ReadDwordOr(key, StatisticsFieldName(i), 0, value))
                return failed;
            read[i] = value;
        }
        return ERROR_SUCCESS;
    });
    if (error == ERROR_SUCCESS)
        values = read;
    return error;
}

DWORD EngineState::SetStatistic(std::size_t field, uint32_t value) const
{
    if (field >= StatisticsFieldCount)
        return ERROR_INVALID_PARAMETER;
    // Under the lock, so that a concurrent addition cannot write back over it.
    StateLock lock;
    if (lock.error() != ERROR_SUCCESS)
        return lock.error();
    return WriteDword(StatsKeyPath, StatisticsFieldName(field), value);
}

DWORD EngineState::AddToStatistic(std::size_t field, uint32_t n, uint32_t& result) const
{
    if (field >= StatisticsFieldCount)
        return ERROR_INVALID_PARAMETER;
    StateLock lock;
    if (lock.error() != ERROR_SUCCESS)
        return lock.error();
    DWORD sum = 0;
    DWORD error = WithKey(StatsKeyPath, KeyOpen::OrCreate, [&](HKEY key) -> DWORD {
        DWORD value = 0;
        if (DWORD failed = ReadDwordOr(key, StatisticsFieldName(field), 0, value))
            return failed;
        if (n > std::numeric_limits<uint32_t>::max() - value)
            return ERROR_ARITHMETIC_OVERFLOW;
        sum = value + n;
        return StoreDword(key, StatisticsFieldName(field), sum);
    });
    if (error == ERROR_SUCCESS)
        result = sum;
    return error;
}

DWORD EngineState::EnsureStatsKey() const
{
    return WithKey(StatsKeyPath, KeyOpen::OrCreate, [](HKEY) -> DWORD { return ERROR_SUCCESS; });
}

DWORD EngineState::GetMessages(uint32_t& count) const
{
    return ReadValueOr(BaseKeyPath, MessagesValue, 0, count);
}

DWORD EngineState::SetMessages(uint32_t count) const
{
    return WriteDword(BaseKeyPath, MessagesValue, count);
}

DWORD EngineState::GetVirtualDataPath(std::wstring& path) const
{
    std::wstring stored;
    DWORD error = ReadString(VirtualDataPathValue, REG_SZ, stored);
    if (error == ERROR_SUCCESS && !stored.empty()) {
        path = std::move(stored);
        return ERROR_SUCCESS;
    }
    if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND)
        return error;
    wchar_t temp[MAX_PATH + 1] = {};
    DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    if (length == 0 || length > MAX_PATH)
        return length == 0 ? GetLastError() : ERROR_BUFFER_OVERFLOW;
    path.assign(temp, length);
    if (!path.empty() && path.back() != L'\\')
        path += L'\\';
    path += L"OLVVirtual";
    return ERROR_SUCCESS;
}

DWORD EngineState::SetVirtualDataPath(const std::wstring& path) const
{
    if (path.empty())
        return DeleteValue(BaseKeyPath, VirtualDataPathValue);
    if (path.find(L'\0') != std::wstring::npos)
        return ERROR_INVALID_PARAMETER;
    return WriteString(VirtualDataPathValue, REG_SZ, path);
}

DWORD EngineState::GetSessions(std::vector<uint32_t>& sessions) const
{
    std::wstring data;
    DWORD error = ReadString(SessionsValue, REG_MULTI_SZ, data);
    if (error == ERROR_FILE_NOT_FOUND) {
        sessions.clear();
        return ERROR_SUCCESS;
    }
    if (error != ERROR_SUCCESS)
        return error;
    std::vector<uint32_t> read;
    for (std::wstring_view text : SplitMultiString(data)) {
        uint32_t id = 0;
        // A string that is no session number names no session: skip it.
        if (ParseDecimal32(text, id))
            read.push_back(id);
    }
    sessions = std::move(read);
    return ERROR_SUCCESS;
}

DWORD EngineState::SetSessions(const std::vector<uint32_t>& sessions) const
{
    std::wstring data;
    for (uint32_t id : sessions) {
        data += std::to_wstring(id);
        data += L'\0';
    }
    if (sessions.empty())
        data += L'\0';
    data += L'\0';
    return WriteString(SessionsValue, REG_MULTI_SZ, data);
}

DWORD EngineState::ClearSessions() const
{
    return DeleteValue(BaseKeyPath, SessionsValue);
}

DWORD EngineState::Remove() const
{
    return DeleteKey(BaseKeyPath);
}
