// The engine's component list: names and UTF-16 versions, in the order the
// engine reports them. Stored as one REG_MULTI_SZ value of "NAME=VERSION"
// strings; the name is the text before the first "=".
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct EngineComponent {
    std::wstring name;
    std::wstring version;

    bool operator==(const EngineComponent&) const = default;
};

// Longest name and version, in UTF-16 units without the terminator: what the
// opaque part and the version field of one version-info entry can hold.
constexpr std::size_t ComponentNameMax = 511;
constexpr std::size_t ComponentVersionMax = 127;

class ComponentList {
public:
    // The list that an engine reports before anyone has set one.
    static std::vector<EngineComponent> Defaults();

    // Parses "NAME=VERSION". Returns false, with a reason, for an empty name, a
    // missing "=", or a name or version that does not fit an entry.
    static bool Parse(std::wstring_view text, EngineComponent& component, std::wstring& reason);

    // REG_MULTI_SZ data: each "NAME=VERSION" terminated, then one more zero.
    static std::wstring Encode(const std::vector<EngineComponent>& components);

    // Reads REG_MULTI_SZ data, also when its terminators are missing. Strings
    // without "=" are skipped: they name no component.
    static std::vector<EngineComponent> Decode(std::wstring_view data);
};
