// The compact binary form in which items travel inside frames.
//   item   := type:u8 body
//   String, Blob: length:u32 bytes      Bool: u8 (0/1)      Int32: i32
//   Assoc: count:u32 then count x (key item of type String, value item)
// All integers are little-endian. The keys of one associative item are
// distinct; an item that repeats a key is malformed.
//
// Decoding is bounded before it allocates: every allocation is charged, at
// its heap estimate (ItemNode), first against the item's own bound, then
// against a budget shared with other decoders (a service's queue budget),
// and made only when both have room. The bound of an item is relative to
// its wire size: the densest valid encoding, 7 bytes a member (an empty key
// and a bool), decodes to about 42 times its size; a settings list of short
// keys (6 characters and a bool, 13 bytes a member) to about 23 times, the
// messages of this system to less, and small ones fit the fixed allowance.
#pragma once

#include "rux/item/ByteBudget.h"
#include "rux/item/ItemNode.h"

#include <cstddef>
#include <string>

namespace rux {

// Heap an item may take: ItemBoundRatio times its wire size, plus this much.
constexpr size_t ItemBoundRatio = 32;
constexpr size_t ItemBoundAllowanceBytes = 64 * 1024;

enum class DecodeResult {
    Ok,
    Malformed,      // truncated, trailing, unknown type, too deep, too many members, repeated key
    OverItemBound,  // would take more heap than the item's bound
    OverBudget,     // the shared budget had no room left
    OutOfMemory,    // an allocation failed
};

struct DecodeLimits {
    size_t itemBytes;              // the item's bound (ItemCodec::ItemBoundBytes)
    ByteBudget* budget = nullptr;  // also charged when set
};

class ItemCodec {
public:
    // Appends the encoding of `item` to `out`.
    static void Encode(const ItemNode& item, std::string& out);
    // Decodes exactly one item that fills [data, data + size). On Ok, `item`
    // is set and `charged` holds what was charged to the budget (the item's
    // ItemNode::HeapBytes); whoever keeps the item refunds it when the item
    // leaves. On any other result `item` is untouched and nothing stays
    // charged. Never throws.
    static DecodeResult Decode(const void* data, size_t size, const DecodeLimits& limits, ItemPtr& item,
                               size_t& charged);
    // The same within ItemBoundBytes(size) and no shared budget; false for any
    // failure.
    static bool Decode(const void* data, size_t size, ItemPtr& item);
    static size_t ItemBoundBytes(size_t wireBytes) { return ItemBoundRatio * wireBytes + ItemBoundAllowanceBytes; }
};

}  // namespace rux
