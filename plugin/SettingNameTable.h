// The names under which the user interface reads and writes the engine's ten
// feature settings, mapped to the engine's configuration option ids (2 to 11).
// Names compare byte for byte, so letter case matters.
#pragma once

#include <cstdint>
#include <map>
#include <string>

class SettingNameTable {
public:
    // Inserts the ten entries; an entry already present is kept. Throws
    // std::bad_alloc.
    void Fill();

    // The option id of `name`, or 0 when the name is not in the table (or null).
    int32_t Find(const char* name) const;

    size_t size() const noexcept { return entries.size(); }
    const std::map<std::string, int32_t>& Entries() const noexcept { return entries; }

private:
    std::map<std::string, int32_t> entries;
};
