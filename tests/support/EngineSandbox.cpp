#include "tests/support/EngineSandbox.h"

namespace testsupport {

namespace {

std::wstring BackupKeyPath()
{
    return L"Software\\Halvern\\OLV.saved-by-test-" + std::to_wstring(GetCurrentProcessId());
}

}  // namespace

void EngineSandbox::SetUp()
{
    ASSERT_EQ(RegOpenCurrentUser(KEY_ALL_ACCESS, root_.put()), ERROR_SUCCESS);
    UniqueKey maker;
    makerExisted_ = RegOpenKeyExW(root_.get(), L"Software\\Halvern", 0, KEY_READ, maker.put()) == ERROR_SUCCESS;
    UniqueKey existing;
    if (RegOpenKeyExW(root_.get(), EngineState::BaseKeyPath, 0, KEY_READ, existing.put()) == ERROR_SUCCESS) {
        UniqueKey backup;
        ASSERT_EQ(RegCreateKeyExW(root_.get(), BackupKeyPath().c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  backup.put(), nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegCopyTreeW(existing.get(), nullptr, backup.get()), ERROR_SUCCESS);
        saved_ = true;
    }
    existing.reset();
    ASSERT_EQ(state_.Remove(), ERROR_SUCCESS);
    ASSERT_EQ(state_.SetVirtualDataPath(folder_), ERROR_SUCCESS);
}

void EngineSandbox::TearDown()
{
    EXPECT_EQ(state_.Remove(), ERROR_SUCCESS);
    if (saved_) {
        UniqueKey backup;
        UniqueKey original;
        if (RegOpenKeyExW(root_.get(), BackupKeyPath().c_str(), 0, KEY_READ, backup.put()) == ERROR_SUCCESS &&
            RegCreateKeyExW(root_.get(), EngineState::BaseKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            original.put(), nullptr) == ERROR_SUCCESS) {
            EXPECT_EQ(RegCopyTreeW(backup.get(), nullptr, original.get()), ERROR_SUCCESS);
        }
        backup.reset();
        RegDeleteTreeW(root_.get(), BackupKeyPath().c_str());
        RegDeleteKeyW(root_.get(), BackupKeyPath().c_str());
    }
    // RegDeleteKeyW removes only an empty key: a sibling of the state stays.
    if (!makerExisted_)
        RegDeleteKeyW(root_.get(), L"Software\\Halvern");
}

KeyWatch::KeyWatch(const EngineState& state, const wchar_t* path, bool subtree)
    : event(CreateEventW(nullptr, FALSE, FALSE, nullptr)), subtree(subtree)
{
    if (event.valid() && state.OpenKey(path, KEY_NOTIFY, key) == ERROR_SUCCESS)
        Arm();
}

bool KeyWatch::Arm()
{
    armed = key.valid() && RegNotifyChangeKeyValue(key.get(), subtree, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                                                   event.get(), TRUE) == ERROR_SUCCESS;
    return armed;
}

bool KeyWatch::Fired(DWORD timeoutMs) const
{
    return armed && WaitForSingleObject(event.get(), timeoutMs) == WAIT_OBJECT_0;
}

}  // namespace testsupport
