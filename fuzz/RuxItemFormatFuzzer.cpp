// The format language of RuxBuildItem (ItemFormat::Build), with the values it
// reads taken from the fuzz input.
//
// Input: the format up to the first zero byte, then one value for each 's',
// 'i' and 'b' of the format, in order: a string up to the next zero byte (the
// single byte FF stands for a null pointer), or 4 bytes of a little-endian
// int32. Values missing at the end of the input are empty strings and zeros.
//
// Properties:
// - Build gives exactly the item that a reference reading of the grammar gives
//   (or null exactly when the reference refuses): the format's tokens, blanks
//   removed, each value character bound to its own argument by position.
// - What Build gives is within the limits, so it encodes and decodes to an
//   equal item.
//
// The values reach Build through a real variadic call. Every argument is
// passed as a 64-bit integer: on x86-64 a pointer and an int both travel in one
// 8-byte integer slot, and va_arg of `const char*` or of `int` reads that slot
// as the ABI lays down, so one call signature serves every format.
#include "FuzzSupport.h"

#include "rux/item/ItemCodec.h"
#include "rux/item/ItemFormat.h"

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#if !defined(__x86_64__)
#error "the format target passes its values as 64-bit integer slots: x86-64 only"
#endif

using namespace rux;

namespace {

// Formats with more value characters than this are skipped: 128 is enough for
// nesting past MaxItemDepth and for lists wider than anything else needs.
constexpr size_t SlotCount = 128;

struct Value {
    char kind = 0;      // 's', 'i' or 'b'
    bool null = false; // 's' only
    std::string text;
    int32_t number = 0;
};

ItemPtr BuildVariadic(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    ItemPtr item = ItemFormat::Build(format, args);
    va_end(args);
    return item;
}

template <size_t... Index>
ItemPtr BuildWithSlots(const char* format, const uintptr_t (&slots)[SlotCount], std::index_sequence<Index...>)
{
    return BuildVariadic(format, slots[Index]...);
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The grammar of ItemFormat.h read over the tokens of the format; each value
// character carries the argument bound to it.
class Reference {
public:
    Reference(const std::string& tokens, const std::vector<int>& slotOf, const std::vector<Value>& values)
        : tokens_(tokens), slotOf_(slotOf), values_(values)
    {
    }

    ItemPtr Item()
    {
        ItemPtr item = Parse(1);
        return item && at_ == tokens_.size() ? item : nullptr;
    }

private:
    ItemPtr Parse(int depth)
    {
        if (depth > MaxItemDepth || at_ == tokens_.size())
            return nullptr;
        size_t position = at_++;
        switch (tokens_[position]) {
        case 's': {
            const Value& value = values_[slotOf_[position]];
            return value.null ? nullptr : ItemNode::MakeString(value.text);
        }
        case 'i':
            return ItemNode::MakeInt(values_[slotOf_[position]].number);
        case 'b':
            return ItemNode::MakeBool(values_[slotOf_[position]].number != 0);
        case '{':
            return List(depth);
        default:
            return nullptr;
        }
    }

    bool Expect(char c)
    {
        if (at_ == tokens_.size() || tokens_[at_] != c)
            return false;
        ++at_;
        return true;
    }

    ItemPtr List(int depth)
    {
        ItemPtr list = ItemNode::MakeAssoc();
        if (Expect('}'))
            return list;
        for (;;) {
            size_t keyPosition = at_;
            if (!Expect('s') || !Expect(':'))
                return nullptr;
            ItemPtr value = Parse(depth + 1);
            const Value& key = values_[slotOf_[keyPosition]];
            if (!value || key.null || list->members.size() >= MaxAssocMembers)
                return nullptr;
            for (const auto& member : list->members) {
                if (member.first->bytes == key.text)
                    return nullptr;
            }
            list->members.emplace_back(ItemNode::MakeString(key.text), std::move(value));
            if (Expect('}'))
                return list;
            if (!Expect(','))
                return nullptr;
        }
    }

    const std::string& tokens_;
    const std::vector<int>& slotOf_;
    const std::vector<Value>& values_;
    size_t at_ = 0;
};

uint32_t LoadU32(const uint8_t* at, size_t available)
{
    uint8_t bytes[4] = {};
    std::memcpy(bytes, at, available < 4 ? available : 4);
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const uint8_t* end = data + size;
    const uint8_t* zero = static_cast<const uint8_t*>(std::memchr(data, 0, size));
    std::string format(reinterpret_cast<const char*>(data), zero ? zero - data : size);
    const uint8_t* at = zero ? zero + 1 : end;

    std::vector<Value> values;
    std::string tokens;
    std::vector<int> slotOf;
    for (char c : format) {
        if (IsBlank(c))
            continue;
        tokens.push_back(c);
        slotOf.push_back(-1);
        if (c != 's' && c != 'i' && c != 'b')
            continue;
        if (values.size() == SlotCount)
            return 0;
        slotOf.back() = static_cast<int>(values.size());
        Value value;
        value.kind = c;
        if (c == 's') {
            const uint8_t* stop = static_cast<const uint8_t*>(std::memchr(at, 0, end - at));
            value.text.assign(reinterpret_cast<const char*>(at), (stop ? stop : end) - at);
            value.null = value.text == "\xFF";
            at = stop ? stop + 1 : end;
        } else {
            value.number = static_cast<int32_t>(LoadU32(at, end - at));
            at += end - at < 4 ? end - at : 4;
        }
        values.push_back(std::move(value));
    }

    uintptr_t slots[SlotCount] = {};
    for (size_t i = 0; i < values.size(); ++i) {
        if (values[i].kind == 's')
            slots[i] = values[i].null ? 0 : reinterpret_cast<uintptr_t>(values[i].text.c_str());
        else
            slots[i] = static_cast<uint32_t>(values[i].number);
    }
    ItemPtr built = BuildWithSlots(format.c_str(), slots, std::make_index_sequence<SlotCount>());
    ItemPtr expected = Reference(tokens, slotOf, values).Item();
    FUZZ_CHECK(fuzz::SameItem(built, expected), "Build gives the item of the reference reading, or null with it");
    if (!built)
        return 0;

    std::string encoded;
    ItemCodec::Encode(*built, encoded);
    ItemPtr decoded;
    FUZZ_CHECK(ItemCodec::Decode(encoded.data(), encoded.size(), decoded) && fuzz::SameItem(built, decoded),
               "a built item encodes and decodes to an equal item");
    return 0;
}
