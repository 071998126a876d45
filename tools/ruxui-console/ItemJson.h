// An item as one line of JSON, read through the library's accessors: strings
// as JSON strings (converted from the ANSI code page to UTF-8), Int32 as
// numbers, Bool as true/false, associative items as objects in member order,
// blobs as {"$blob":"<hex>"}.
#pragma once

#include "contracts/RuxExtensions.h"

#include <string>

class ItemJson {
public:
    // "null" for a handle that is not a live item.
    static std::string Format(RuxItem item);
    // `text` (ANSI code page) as a quoted JSON string.
    static std::string Quote(const std::string& text);
};
