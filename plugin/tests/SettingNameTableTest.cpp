#include "plugin/SettingNameTable.h"

#include <gtest/gtest.h>

TEST(SettingNameTable, HoldsExactlyTheTenSettingsWithTheirOptionIds)
{
    SettingNameTable table;
    table.Fill();
    const struct {
        const char* name;
        int32_t optionId;
    } expected[] = {
        {"EnableVirtual", 2},          {"EnableCheckKeystrokes", 3},        {"KeystrokeSetting", 4},
        {"EnableSiteStatusCheck", 5},  {"EnableAntiphishingSig", 6},        {"EnableAntiphishingHeuristic", 7},
        {"EnableBlockSpySite", 8},     {"EnableCheckFileDownload", 9},      {"EnableScanSpy", 10},
        {"EnableAutoUpdate", 11},
    };
    EXPECT_EQ(table.size(), 10u);
    for (const auto& entry : expected)
        EXPECT_EQ(table.Find(entry.name), entry.optionId) << entry.name;
}

TEST(SettingNameTable, UnknownNamesGiveZero)
{
    SettingNameTable table;
    table.Fill();
    // Letter case matters, option 1 has no name, and a refill changes nothing.
    for (const char* name : {"enablevirtual", "ENABLEVIRTUAL", "EnableVirtual ", "", "Option1", "EnableAutoUpdat"})
        EXPECT_EQ(table.Find(name), 0) << name;
    EXPECT_EQ(table.Find(nullptr), 0);
    table.Fill();
    EXPECT_EQ(table.size(), 10u);
}
