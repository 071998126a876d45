#include "plugin/SettingNameTable.h"

void SettingNameTable::Fill()
{
    for (const FeatureSetting& setting : FeatureSettings)
        entries.emplace(setting.name, setting.optionId);
}

int32_t SettingNameTable::Find(const char* name) const
{
    if (!name)
        return 0;
    auto it = entries.find(name);
    return it == entries.end() ? 0 : it->second;
}
