// The strings of REG_MULTI_SZ data, which the engine's lists are stored as.
#pragma once

#include <string_view>
#include <vector>

// Each string ends at a zero or at the end of the data, so data whose
// terminators are missing reads the same; no string starts after the last
// zero. Empty strings between two zeros are given as they are.
inline std::vector<std::wstring_view> SplitMultiString(std::wstring_view data)
{
    std::vector<std::wstring_view> strings;
    std::size_t start = 0;
    while (start < data.size()) {
        std::size_t end = data.find(L'\0', start);
        if (end == std::wstring_view::npos)
            end = data.size();
        strings.push_back(data.substr(start, end - start));
        start = end + 1;
    }
    return strings;
}
