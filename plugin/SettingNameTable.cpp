#include "plugin/SettingNameTable.h"

void SettingNameTable::Fill()
{
    static const struct {
        const char* name;
        int32_t optionId;
    } settings[] = {
        {"EnableSiteStatusCheck", 5},
        {"EnableAntiphishingSig", 6},
        {"EnableAntiphishingHeuristic", 7},
        {"EnableBlockSpySite", 8},
        {"EnableCheckKeystrokes", 3},
        {"KeystrokeSetting", 4},
        {"EnableVirtual", 2},
        {"EnableAutoUpdate", 11},
        {"EnableCheckFileDownload", 9},
        {"EnableScanSpy", 10},
    };
    for (const auto& setting : settings)
        entries.emplace(setting.name, setting.optionId);
}

int32_t SettingNameTable::Find(const char* name) const
{
    if (!name)
        return 0;
    auto it = entries.find(name);
    return it == entries.end() ? 0 : it->second;
}
