// Items built from the fuzz input through ItemNode's own operations, then
// encoded and decoded (ItemNode, ItemCodec::Encode, ItemCodec::Decode).
//
// Properties:
// - decode(encode(x)) is equal to x whenever x is within the limits (nesting
//   at most MaxItemDepth, lists of at most MaxAssocMembers members), and
//   encode of the result gives the same bytes again; an item beyond the limits
//   is refused. Only a list near MaxAssocMembers may also be refused for its
//   decoded cost.
// - Set and Find behave as a map that keeps the order of first insertion: Find
//   gives the value last set for a key and null for a key never set, a
//   replacement keeps the member's place, and Set of a new key fails once the
//   list is full.
// - Clone gives an equal item that shares no node with the original.
#include "FuzzSupport.h"

#include "rux/item/ItemCodec.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

using namespace rux;

namespace {

// Bounds of one input, so that an execution stays in the millisecond range:
// nodes built in all, and the members of the one list that may be wide.
constexpr size_t NodeBudget = 4096;
constexpr size_t WideMembersMax = MaxAssocMembers + 2;

struct Build {
    FuzzedDataProvider& in;
    size_t nodesLeft = NodeBudget;
    bool wideAllowed = false;  // about one input in 256 may get one wide list
    bool wideUsed = false;
};

ItemPtr MakeItem(Build& build, int depth);

// A list made with Set, checked against a map of what was set.
ItemPtr MakeAssoc(Build& build, int depth)
{
    ItemPtr assoc = ItemNode::MakeAssoc();
    std::map<std::string, ItemPtr> model;
    std::vector<std::string> order;  // keys in the order of first insertion
    size_t count = build.in.ConsumeIntegralInRange<size_t>(0, 8);
    for (size_t i = 0; i < count && build.nodesLeft > 0 && build.in.remaining_bytes() > 0; ++i) {
        // Short keys from a small alphabet, so that keys repeat and Set replaces.
        std::string key = build.in.ConsumeRandomLengthString(4);
        ItemPtr value = MakeItem(build, depth + 1);
        FUZZ_CHECK(assoc->Set(key, value), "Set of a key into a list below its limit succeeds");
        if (model.emplace(key, value).second)
            order.push_back(key);
        else
            model[key] = value;
    }
    FUZZ_CHECK(assoc->members.size() == model.size(), "a replaced key keeps one member");
    for (size_t i = 0; i < order.size(); ++i) {
        FUZZ_CHECK(assoc->members[i].first->type == ItemType::String && assoc->members[i].first->bytes == order[i],
                   "members keep the order of first insertion");
        FUZZ_CHECK(assoc->Find(order[i]) == model[order[i]], "Find gives the value last set for the key");
    }
    std::string absent = build.in.ConsumeRandomLengthString(5);
    if (!model.count(absent))
        FUZZ_CHECK(assoc->Find(absent) == nullptr, "Find gives null for a key never set");
    return assoc;
}

// One list with MaxAssocMembers members and a few more tried, the way a
// hostile peer's item would be wide: every Set beyond the limit fails, and an
// encoding of a list pushed past the limit directly is refused on decode.
//
// Such a list costs a few hundred milliseconds under the sanitizers and has
// only ten shapes (the count and whether it goes past the limit), so each
// shape is built once per process; an input that asks for a shape already
// tried gets an ordinary list. A crash input still reproduces on its own, in a
// fresh process.
ItemPtr MakeWideAssoc(Build& build, int depth)
{
    static std::set<std::pair<size_t, bool>> shapesTried;
    size_t wanted = build.in.ConsumeIntegralInRange<size_t>(MaxAssocMembers - 2, WideMembersMax);
    bool pastLimit = wanted > MaxAssocMembers && build.in.ConsumeBool();
    if (!shapesTried.insert({wanted, pastLimit}).second)
        return MakeAssoc(build, depth);
    build.wideUsed = true;
    ItemPtr assoc = ItemNode::MakeAssoc();
    ItemPtr shared = ItemNode::MakeBool(true);
    for (size_t i = 0; i < MaxAssocMembers && i < wanted; ++i)
        assoc->members.emplace_back(ItemNode::MakeString(std::to_string(i)), shared);
    for (size_t i = MaxAssocMembers; i < wanted; ++i)
        FUZZ_CHECK(!assoc->Set("new" + std::to_string(i), shared), "Set of a new key into a full list fails");
    if (pastLimit)
        assoc->members.emplace_back(ItemNode::MakeString("past the limit"), shared);
    return assoc;
}

ItemPtr MakeItem(Build& build, int depth)
{
    --build.nodesLeft;
    switch (build.in.ConsumeIntegralInRange<int>(0, 6)) {
    case 0:
        return ItemNode::MakeString(build.in.ConsumeRandomLengthString(64));
    case 1:
        return ItemNode::MakeBlob(build.in.ConsumeRandomLengthString(64));
    case 2:
        return ItemNode::MakeBool(build.in.ConsumeBool());
    case 3:
        return ItemNode::MakeInt(build.in.ConsumeIntegral<int32_t>());
    case 4:
        if (build.wideAllowed && !build.wideUsed)
            return MakeWideAssoc(build, depth);
        [[fallthrough]];
    default:
        if (build.nodesLeft == 0 || build.in.remaining_bytes() == 0)
            return ItemNode::MakeInt(0);
        return MakeAssoc(build, depth);
    }
}

// What the finished item is: within the limits, and holding a list wide enough
// that its decoded cost may be refused. Taken from the tree itself, since Set
// may have replaced a deep or wide value while the item was built.
struct Shape {
    bool withinLimits = true;
    bool wide = false;
};

void Measure(const ItemNode& item, int depth, Shape& shape)
{
    if (depth > MaxItemDepth || item.members.size() > MaxAssocMembers)
        shape.withinLimits = false;
    if (item.members.size() > 1000)
        shape.wide = true;
    for (const auto& [key, value] : item.members) {
        if (depth + 1 > MaxItemDepth)
            shape.withinLimits = false;
        Measure(*value, depth + 1, shape);
    }
}

void CollectNodes(const ItemPtr& item, std::set<const ItemNode*>& nodes)
{
    nodes.insert(item.get());
    for (const auto& [key, value] : item->members) {
        nodes.insert(key.get());
        CollectNodes(value, nodes);
    }
}

void CheckClone(const ItemPtr& item)
{
    ItemPtr copy = item->Clone();
    FUZZ_CHECK(fuzz::SameItem(item, copy), "a clone is equal to its original");
    std::set<const ItemNode*> original;
    std::set<const ItemNode*> cloned;
    CollectNodes(item, original);
    CollectNodes(copy, cloned);
    for (const ItemNode* node : cloned)
        FUZZ_CHECK(!original.count(node), "a clone shares no node with its original");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    Build build{in};
    // Not 0: an exhausted input reads as zeros.
    build.wideAllowed = in.ConsumeIntegral<uint8_t>() == 0xA5;
    ItemPtr item = MakeItem(build, 1);

    Shape shape;
    Measure(*item, 1, shape);

    std::string encoded;
    ItemCodec::Encode(*item, encoded);
    ItemPtr decoded;
    bool accepted = ItemCodec::Decode(encoded.data(), encoded.size(), decoded);
    if (!shape.withinLimits) {
        FUZZ_CHECK(!accepted, "an item beyond the nesting or member limit is refused");
        return 0;
    }
    // A list of thousands of members may also be refused for what it costs to
    // decode; anything smaller within the limits must come through.
    FUZZ_CHECK(accepted || shape.wide, "an item within the limits decodes from its encoding");
    if (!accepted)
        return 0;
    FUZZ_CHECK(fuzz::SameItem(item, decoded), "decode(encode(x)) is equal to x");
    std::string again;
    ItemCodec::Encode(*decoded, again);
    FUZZ_CHECK(again == encoded, "encode(decode(encode(x))) gives the same bytes");
    if (!shape.wide)
        CheckClone(item);
    return 0;
}
