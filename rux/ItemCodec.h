// The compact binary form in which items travel inside frames.
//   item   := type:u8 body
//   String, Blob: length:u32 bytes      Bool: u8 (0/1)      Int32: i32
//   Assoc: count:u32 then count x (key item of type String, value item)
// All integers are little-endian.
#pragma once

#include "rux/ItemNode.h"

#include <cstddef>
#include <string>

namespace rux {

class ItemCodec {
public:
    // Appends the encoding of `item` to `out`.
    static void Encode(const ItemNode& item, std::string& out);
    // Decodes exactly one item that fills [data, data + size). False, with
    // `item` untouched, for anything truncated, trailing, unknown, deeper than
    // MaxItemDepth or with more members than MaxAssocMembers.
    static bool Decode(const void* data, size_t size, ItemPtr& item);
};

}  // namespace rux
