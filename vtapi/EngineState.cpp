#include "vtapi/EngineState.h"

#include "vtapi/OptionName.h"
#include "vtapi/StateLock.h"

#include <cwchar>
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

bool ParseSessionId(const std::wstring& text, uint32_t& id)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of(L"0123456789") != std::wstring::npos)
        return false;
    unsigned long long value = std::stoull(text);
    if (value > std::numeric_limits<uint32_t>::max())
        return false;
    id = static_cast<uint32_t>(value);
    return true;
}

}  // namespace

EngineState::EngineState() noexcept
{
    // A thread that impersonates reaches the impersonated user's hive only
    // through RegOpenCurrentUser. Without impersonation that is the process's
    // user, whose HKEY_CURRENT_USER the system keeps open: far cheaper than a
    // fresh RegOpenCurrentUser (hundreds of microseconds under Wine) per call.
    DWORD savedError = GetLastError();
    HANDLE token = nullptr;
    if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
        CloseHandle(token);
        rootError_ = static_cast<DWORD>(RegOpenCurrentUser(KEY_READ | KEY_WRITE, ownedRoot_.put()));
        root_ = ownedRoot_.get();
    } else {
        root_ = HKEY_CURRENT_USER;
    }
    SetLastError(savedError);
}

int EngineState::CachedKeyIndex(const wchar_t* keyPath) noexcept
{
    if (std::wcscmp(keyPath, BaseKeyPath) == 0)
        return 0;
    if (std::wcscmp(keyPath, StatsKeyPath) == 0)
        return 1;
    if (std::wcscmp(keyPath, FaultsKeyPath) == 0)
        return 2;
    return -1;
}

template <typename Operation>
DWORD EngineState::WithKey(const wchar_t* keyPath, bool create, Operation&& operation) const
{
    if (rootError_ != ERROR_SUCCESS)
        return rootError_;
    int index = CachedKeyIndex(keyPath);
    UniqueKey once;
    UniqueKey& key = index >= 0 ? keys_[index] : once;
    // A cached key that another process deleted answers ERROR_KEY_DELETED:
    // open the path again, once.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!key.valid()) {
            LSTATUS status = create
                ? RegCreateKeyExW(root_, keyPath, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, key.put(), nullptr)
                : RegOpenKeyExW(root_, keyPath, 0, KEY_READ | KEY_WRITE, key.put());
            if (status != ERROR_SUCCESS)
                return static_cast<DWORD>(status);
        }
        DWORD error = operation(key.get());
        if (error != ERROR_KEY_DELETED)
            return error;
        key.reset();
    }
    return ERROR_KEY_DELETED;
}

void EngineState::ForgetKeys() const noexcept
{
    for (UniqueKey& key : keys_)
        key.reset();
}

DWORD EngineState::ReadDword(const wchar_t* keyPath, const wchar_t* name, DWORD& value) const
{
    DWORD data = 0;
    DWORD error = WithKey(keyPath, false, [&](HKEY key) -> DWORD {
        DWORD size = sizeof(data);
        return static_cast<DWORD>(RegGetValueW(key, nullptr, name, RRF_RT_REG_DWORD, nullptr, &data, &size));
    });
    if (error == ERROR_SUCCESS)
        value = data;
    return error;
}

DWORD EngineState::WriteDword(const wchar_t* keyPath, const wchar_t* name, DWORD value) const
{
    return WithKey(keyPath, true, [&](HKEY key) -> DWORD {
        return static_cast<DWORD>(
            RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)));
    });
}

DWORD EngineState::DeleteValue(const wchar_t* keyPath, const wchar_t* name) const
{
    DWORD error = WithKey(keyPath, false, [&](HKEY key) -> DWORD { return static_cast<DWORD>(RegDeleteValueW(key, name)); });
    return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
}

DWORD EngineState::DeleteKey(const wchar_t* keyPath) const
{
    if (rootError_ != ERROR_SUCCESS)
        return rootError_;
    // Handles to a deleted key would only answer ERROR_KEY_DELETED from now on.
    ForgetKeys();
    LSTATUS status = RegDeleteTreeW(root_, keyPath);
    if (status == ERROR_SUCCESS)
        status = RegDeleteKeyW(root_, keyPath);
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : static_cast<DWORD>(status);
}

DWORD EngineState::ReadString(const wchar_t* name, DWORD type, std::wstring& data) const
{
    DWORD flags = type == REG_MULTI_SZ ? RRF_RT_REG_MULTI_SZ : RRF_RT_REG_SZ;
    std::wstring buffer;
    DWORD error = WithKey(BaseKeyPath, false, [&](HKEY key) -> DWORD {
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
    return WithKey(BaseKeyPath, true, [&](HKEY key) -> DWORD {
        return static_cast<DWORD>(RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(data.c_str()), bytes));
    });
}

DWORD EngineState::GetRunning(bool& running) const
{
    DWORD value = 0;
    DWORD error = ReadDword(BaseKeyPath, RunningValue, value);
    if (error == ERROR_FILE_NOT_FOUND) {
        value = 0;
        error = ERROR_SUCCESS;
    }
    if (error == ERROR_SUCCESS)
        running = value != 0;
    return error;
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
    DWORD data = 0;
    DWORD error = ReadDword(BaseKeyPath, OptionValueName(id).c_str(), data);
    if (error == ERROR_FILE_NOT_FOUND) {
        data = static_cast<DWORD>(DefaultOptionValue);
        error = ERROR_SUCCESS;
    }
    if (error == ERROR_SUCCESS)
        value = static_cast<int32_t>(data);
    return error;
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
    for (int32_t id = FirstOptionId; id <= LastOptionId; ++id) {
        bool present = false;
        int32_t value = 0;
        DWORD error = GetPendingOption(id, present, value);
        if (error != ERROR_SUCCESS)
            return error;
        if (!present)
            continue;
        // Write the option before dropping its pending value, so that a failure
        // in between leaves the value pending rather than lost.
        error = SetOption(id, value);
        if (error == ERROR_SUCCESS)
            error = DeleteValue(BaseKeyPath, PendingValueName(id).c_str());
        if (error != ERROR_SUCCESS)
            return error;
        ++moved;
    }
    uint32_t count = 0;
    DWORD error = GetSettingsApplied(count);
    if (error == ERROR_SUCCESS)
        error = WriteDword(BaseKeyPath, SettingsAppliedValue, count + 1);
    if (error == ERROR_SUCCESS)
        applied = moved;
    return error;
}

DWORD EngineState::GetSettingsApplied(uint32_t& count) const
{
    DWORD value = 0;
    DWORD error = ReadDword(BaseKeyPath, SettingsAppliedValue, value);
    if (error == ERROR_FILE_NOT_FOUND) {
        value = 0;
        error = ERROR_SUCCESS;
    }
    if (error == ERROR_SUCCESS)
        count = value;
    return error;
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

DWORD EngineState::GetStatistics(StatisticsValues& values) const
{
    StatisticsValues read{};
    for (std::size_t i = 0; i < StatisticsFieldCount; ++i) {
        DWORD value = 0;
        DWORD error = ReadDword(StatsKeyPath, StatisticsFieldName(i), value);
        if (error == ERROR_FILE_NOT_FOUND)
            value = 0;
        else if (error != ERROR_SUCCESS)
            return error;
        read[i] = value;
    }
    values = read;
    return ERROR_SUCCESS;
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
    DWORD value = 0;
    DWORD error = ReadDword(StatsKeyPath, StatisticsFieldName(field), value);
    if (error == ERROR_FILE_NOT_FOUND)
        value = 0;
    else if (error != ERROR_SUCCESS)
        return error;
    if (n > std::numeric_limits<uint32_t>::max() - value)
        return ERROR_ARITHMETIC_OVERFLOW;
    error = WriteDword(StatsKeyPath, StatisticsFieldName(field), value + n);
    if (error == ERROR_SUCCESS)
        result = value + n;
    return error;
}

DWORD EngineState::EnsureStatsKey() const
{
    return WithKey(StatsKeyPath, true, [](HKEY) -> DWORD { return ERROR_SUCCESS; });
}

DWORD EngineState::GetMessages(uint32_t& count) const
{
    DWORD value = 0;
    DWORD error = ReadDword(BaseKeyPath, MessagesValue, value);
    if (error == ERROR_FILE_NOT_FOUND) {
        value = 0;
        error = ERROR_SUCCESS;
    }
    if (error == ERROR_SUCCESS)
        count = value;
    return error;
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
    std::size_t start = 0;
    while (start < data.size()) {
        std::size_t end = data.find(L'\0', start);
        if (end == std::wstring::npos)
            end = data.size();
        uint32_t id = 0;
        // A string that is no session number names no session: skip it.
        if (ParseSessionId(data.substr(start, end - start), id))
            read.push_back(id);
        start = end + 1;
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

DWORD EngineState::Remove() const
{
    return DeleteKey(BaseKeyPath);
}
