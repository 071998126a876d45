// Item bodies as a sink receives them (ItemCodec::Decode).
//
// Properties:
// - Decode accepts nothing that breaks the wire grammar: every accepted input
//   is one item that fills the bytes exactly, keys are strings, bools are 0 or
//   1, nesting is at most MaxItemDepth and no list has more than
//   MaxAssocMembers members. A walk of the grammar that builds nothing is the
//   reference.
// - The grammar's scalar items (no list) are all accepted: only lists can be
//   refused for what they would cost, never a well-formed scalar.
// - What Decode accepts re-encodes to the very same bytes (the encoding is
//   canonical), and those decode again to an equal item.
// - A refused input leaves the caller's item untouched.
#include "FuzzSupport.h"

#include "rux/item/ItemCodec.h"

#include <cstddef>
#include <cstdint>

using namespace rux;

namespace {

// The wire grammar of ItemCodec.h, checked without building anything.
class GrammarWalk {
public:
    GrammarWalk(const uint8_t* data, size_t size) : at_(data), end_(data + size) {}

    bool WholeInputIsOneItem() { return Item(1) && at_ == end_; }

private:
    bool Take(size_t count)
    {
        if (static_cast<size_t>(end_ - at_) < count)
            return false;
        at_ += count;
        return true;
    }

    bool TakeU32(uint32_t& value)
    {
        if (end_ - at_ < 4)
            return false;
        value = uint32_t(at_[0]) | uint32_t(at_[1]) << 8 | uint32_t(at_[2]) << 16 | uint32_t(at_[3]) << 24;
        at_ += 4;
        return true;
    }

    bool Item(int depth, bool mustBeString = false)
    {
        if (depth > MaxItemDepth || at_ == end_)
            return false;
        auto type = static_cast<ItemType>(*at_++);
        if (mustBeString && type != ItemType::String)
            return false;
        uint32_t value = 0;
        switch (type) {
        case ItemType::String:
        case ItemType::Blob:
            return TakeU32(value) && Take(value);
        case ItemType::Bool:
            return at_ != end_ && *at_++ <= 1;
        case ItemType::Int32:
            return Take(4);
        case ItemType::Assoc:
            if (!TakeU32(value) || value > MaxAssocMembers)
                return false;
            for (uint32_t i = 0; i < value; ++i) {
                if (!Item(depth + 1, true) || !Item(depth + 1))
                    return false;
            }
            return true;
        }
        return false;
    }

    const uint8_t* at_;
    const uint8_t* end_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const ItemPtr sentinel = ItemNode::MakeString("sentinel");
    ItemPtr item = sentinel;
    bool decoded = ItemCodec::Decode(data, size, item);
    bool grammatical = GrammarWalk(data, size).WholeInputIsOneItem();
    if (!decoded) {
        FUZZ_CHECK(item == sentinel, "a refused input leaves the caller's item untouched");
        FUZZ_CHECK(!grammatical || static_cast<ItemType>(data[0]) == ItemType::Assoc,
                   "every well-formed scalar item is accepted");
        return 0;
    }
    FUZZ_CHECK(grammatical, "Decode accepts only inputs of the wire grammar");
    FUZZ_CHECK(item && item != sentinel, "an accepted input gives a new item");

    std::string encoded;
    ItemCodec::Encode(*item, encoded);
    FUZZ_CHECK(encoded.size() == size && encoded.compare(0, size, reinterpret_cast<const char*>(data), size) == 0,
               "an accepted input re-encodes to the same bytes");
    ItemPtr again;
    FUZZ_CHECK(ItemCodec::Decode(encoded.data(), encoded.size(), again), "a re-encoded item decodes");
    FUZZ_CHECK(fuzz::SameItem(item, again), "a re-encoded item decodes to an equal item");
    return 0;
}
