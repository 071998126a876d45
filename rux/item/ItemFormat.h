// The format language of RuxBuildItem:
//   value := 's' | 'i' | 'b' | '{' [ pair { ',' pair } ] '}'
//   pair  := 's' ':' value
// Blanks (space, tab, CR, LF) are ignored anywhere. 's' takes a const char*
// (null is refused), 'i' an int32_t, 'b' an int32_t read as a boolean. Keys must
// be distinct within one associative item.
#pragma once

#include "rux/item/ItemNode.h"

#include <cstdarg>

namespace rux {

class ItemFormat {
public:
    // Builds the item that `format` describes, taking the values from `args`.
    // Null for a bad format, a null string, a duplicate key or nesting deeper
    // than MaxItemDepth.
    static ItemPtr Build(const char* format, va_list args);
};

}  // namespace rux
