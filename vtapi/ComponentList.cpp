#include "vtapi/ComponentList.h"

#include "vtapi/MultiString.h"

std::vector<EngineComponent> ComponentList::Defaults()
{
    return {
        {L"Engine", L"3.1.0.7"},
        {L"SpyScan", L"2.4.1.0"},
        {L"PhishingDB", L"2026.12.1.5"},
        {L"SiteDB", L"2026.12.1.9"},
    };
}

bool ComponentList::Parse(std::wstring_view text, EngineComponent& component, std::wstring& reason)
{
    std::size_t equals = text.find(L'=');
    if (equals == std::wstring_view::npos) {
        reason = L"expected NAME=VERSION";
        return false;
    }
    std::wstring_view name = text.substr(0, equals);
    std::wstring_view version = text.substr(equals + 1);
    if (name.empty()) {
        reason = L"the component name is empty";
        return false;
    }
    if (name.size() > ComponentNameMax) {
        reason = L"the component name is longer than 511 characters";
        return false;
    }
    if (version.size() > ComponentVersionMax) {
        reason = L"the version is longer than 127 characters";
        return false;
    }
    if (version.find(L'\0') != std::wstring_view::npos || name.find(L'\0') != std::wstring_view::npos) {
        reason = L"the text holds a zero character";
        return false;
    }
    component.name.assign(name);
    component.version.assign(version);
    return true;
}

std::wstring ComponentList::Encode(const std::vector<EngineComponent>& components)
{
    std::wstring data;
    for (const EngineComponent& component : components) {
        data += component.name;
        data += L'=';
        data += component.version;
        data += L'\0';
    }
    // An empty list is stored as two zeros, which every reader takes for
    // "no strings"; a single zero would be read as one empty string by some.
    if (components.empty())
        data += L'\0';
    data += L'\0';
    return data;
}

std::vector<EngineComponent> ComponentList::Decode(std::wstring_view data)
{
    std::vector<EngineComponent> components;
    for (std::wstring_view text : SplitMultiString(data)) {
        std::size_t equals = text.find(L'=');
        if (equals != std::wstring_view::npos && equals > 0)
            components.push_back({std::wstring(text.substr(0, equals)), std::wstring(text.substr(equals + 1))});
    }
    return components;
}
