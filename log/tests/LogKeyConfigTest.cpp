// The shared key's registry access: opening and creating the key path
// component by component, and reading the "key" value by its length alone.
#include "base/NtApi.h"
#include "tests/support/LogSupport.h"

#include <gtest/gtest.h>

using namespace testsupport;

namespace {

// The configuration key opened read-only below the current user's root.
struct OpenedConfigKey {
    OpenedConfigKey()
    {
        NTSTATUS status = 0;
        UniqueNtHandle root = OpenCurrentUserRoot(&status);
        EXPECT_TRUE(root.valid()) << std::hex << status;
        if (!root.valid())
            return;
        bool created = false;
        key = OpenConfigKey(root.get(), false, &created, &status);
    }
    UniqueNtHandle key;
};

}  // namespace

TEST(LogKeyConfig, CreateModeMakesEveryMissingComponentAndReportsIt)
{
    SharedKeyScope shared;
    NTSTATUS status = 0;
    UniqueNtHandle root = OpenCurrentUserRoot(&status);
    ASSERT_TRUE(root.valid());
    bool created = true;
    EXPECT_FALSE(OpenConfigKey(root.get(), false, &created, &status).valid()) << "read-only mode never creates";
    EXPECT_FALSE(created);
    EXPECT_FALSE(SharedKeyScope::KeyExists());

    UniqueNtHandle key = OpenConfigKey(root.get(), true, &created, &status);
    ASSERT_TRUE(key.valid()) << std::hex << status;
    EXPECT_TRUE(created);
    key.reset();
    EXPECT_TRUE(SharedKeyScope::KeyExists());

    key = OpenConfigKey(root.get(), true, &created, &status);
    ASSERT_TRUE(key.valid());
    EXPECT_FALSE(created) << "an existing key is only opened";
}

// Only the length counts: 32 bytes of any type are read; every other length,
// shorter or longer than the buffer, gives 24 with the stored length; no value
// gives 2. The destination is written only on success.
TEST(LogKeyConfig, ReadKeyValueAcceptsExactlyTheExpectedLength)
{
    SharedKeyScope shared;
    struct Case {
        size_t bytes;
        DWORD type;
        uint32_t result;
    };
    const Case cases[] = {
        {32, REG_BINARY, KeyValueRead}, {32, REG_DWORD, KeyValueRead},       {16, REG_BINARY, KeyValueWrongLength},
        {0, REG_BINARY, KeyValueWrongLength}, {36, REG_BINARY, KeyValueWrongLength},
        {40, REG_BINARY, KeyValueWrongLength}, {400, REG_BINARY, KeyValueWrongLength},
    };
    for (const Case& c : cases) {
        SharedKeyScope::Remove();
        ASSERT_TRUE(SharedKeyScope::Plant(nullptr));
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, LogKeyConfigPath, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
        std::vector<unsigned char> data(c.bytes);
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<unsigned char>(i + 1);
        ASSERT_EQ(RegSetValueExW(key, LogKeyValueName, 0, c.type, data.data(), static_cast<DWORD>(data.size())),
                  ERROR_SUCCESS);
        RegCloseKey(key);

        OpenedConfigKey config;
        ASSERT_TRUE(config.key.valid());
        uint8_t destination[32] = {};
        uint32_t length = 32;
        EXPECT_EQ(ReadKeyValue(config.key.get(), destination, &length), c.result) << c.bytes << " bytes";
        if (c.result == KeyValueRead) {
            EXPECT_EQ(length, 32u);
            EXPECT_EQ(std::vector<unsigned char>(destination, destination + 32), data);
        } else {
            EXPECT_EQ(length, c.bytes) << "the stored length is passed back";
            EXPECT_EQ(destination[0], 0) << "untouched on failure";
        }
    }

    SharedKeyScope::Remove();
    ASSERT_TRUE(SharedKeyScope::Plant(nullptr));
    OpenedConfigKey config;
    ASSERT_TRUE(config.key.valid());
    uint8_t destination[32] = {};
    uint32_t length = 32;
    EXPECT_EQ(ReadKeyValue(config.key.get(), destination, &length), KeyValueMissing);
    EXPECT_EQ(length, 32u);
}
