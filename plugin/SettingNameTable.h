// The names under which the user interface reads and writes the engine's ten
// feature settings, mapped to the engine's configuration option ids (2 to 11;
// option 1 has no name). Names compare byte for byte, so letter case matters.
//
// FeatureSettings is the one list of them. Its order is the order of the
// members of the settings item ("RequestSBSetting"), which user interfaces
// read by position; the engine is asked for the values in the reverse order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <map>
#include <string>

struct FeatureSetting {
    const char* name;
    int32_t optionId;
};

inline constexpr FeatureSetting FeatureSettings[] = {
    {"EnableAutoUpdate", 11},
    {"EnableSiteStatusCheck", 5},
    {"EnableAntiphishingSig", 6},
    {"EnableAntiphishingHeuristic", 7},
    {"EnableBlockSpySite", 8},
    {"EnableCheckFileDownload", 9},
    {"EnableCheckKeystrokes", 3},
    {"KeystrokeSetting", 4},
    {"EnableScanSpy", 10},
    {"EnableVirtual", 2},
};
inline constexpr size_t FeatureSettingCount = std::size(FeatureSettings);

// The lookup from a name to its option id, filled from FeatureSettings.
class SettingNameTable {
public:
    // Inserts the entries; an entry already present is kept. Throws
    // std::bad_alloc.
    void Fill();

    // The option id of `name`, or 0 when the name is not in the table (or
    // null). Copies the name into a string to look it up: throws
    // std::bad_alloc.
    int32_t Find(const char* name) const;

    size_t size() const noexcept { return entries.size(); }

private:
    std::map<std::string, int32_t> entries;
};
