// The whole text of a string item, for the library's callers that show items
// (tools, tests): RuxGetLen counts a string's bytes only up to 65535, so a
// longer one is read into the largest buffer a frame can need. Empty for an
// item that is not a string.
#pragma once

#include "contracts/RuxExtensions.h"

#include <string>
#include <vector>

inline std::string RuxStringText(RuxItem item)
{
    uint16_t length = 0;
    size_t size = RuxGetLen(item, &length) == 0 ? length + 1u : RuxMaxFrameBytes + 1u;
    std::vector<char> buffer(size);
    if (RuxCopyStr(item, buffer.data(), 0, static_cast<uint32_t>(size)) != 0)
        return std::string();
    return std::string(buffer.data());
}
