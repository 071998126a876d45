#include "rux/item/ItemNode.h"

#include <algorithm>
#include <numeric>

namespace rux {
namespace {

// The heaps of both platforms' runtimes hand out 16-byte granules after a
// header of up to 16 bytes.
constexpr size_t HeapGranule = 16;
constexpr size_t HeapHeaderBytes = 16;
// std::string keeps up to 15 characters in place (libstdc++ and MSVC alike);
// a first allocation below twice that gets twice that.
constexpr size_t InPlaceChars = 15;
// The control block of make_shared: a vtable pointer and two counts.
constexpr size_t ControlBlockBytes = sizeof(void*) + 2 * sizeof(uint32_t);

struct KeyLess {
    const std::vector<ItemNode::Member>& members;
    bool operator()(uint32_t a, uint32_t b) const { return members[a].first->bytes < members[b].first->bytes; }
    bool operator()(uint32_t a, std::string_view key) const { return std::string_view(members[a].first->bytes) < key; }
};

}  // namespace

ItemPtr ItemNode::MakeString(std::string text)
{
    auto node = std::make_shared<ItemNode>();
    node->type = ItemType::String;
    node->bytes = std::move(text);
    return node;
}

ItemPtr ItemNode::MakeBlob(std::string data)
{
    auto node = std::make_shared<ItemNode>();
    node->type = ItemType::Blob;
    node->bytes = std::move(data);
    return node;
}

ItemPtr ItemNode::MakeBool(bool value)
{
    auto node = std::make_shared<ItemNode>();
    node->type = ItemType::Bool;
    node->number = value ? 1 : 0;
    return node;
}

ItemPtr ItemNode::MakeInt(int32_t value)
{
    auto node = std::make_shared<ItemNode>();
    node->type = ItemType::Int32;
    node->number = value;
    return node;
}

ItemPtr ItemNode::MakeAssoc()
{
    auto node = std::make_shared<ItemNode>();
    node->type = ItemType::Assoc;
    return node;
}

ItemPtr ItemNode::Find(std::string_view key) const
{
    auto found = std::lower_bound(keyOrder.begin(), keyOrder.end(), key, KeyLess{members});
    if (found == keyOrder.end() || members[*found].first->bytes != key)
        return nullptr;
    return members[*found].second;
}

bool ItemNode::Set(std::string_view key, ItemPtr value)
{
    auto found = std::lower_bound(keyOrder.begin(), keyOrder.end(), key, KeyLess{members});
    if (found != keyOrder.end() && members[*found].first->bytes == key) {
        members[*found].second = std::move(value);
        return true;
    }
    if (members.size() >= MaxAssocMembers)
        return false;
    // Room in both lists first, so that a failed allocation leaves them
    // matching.
    size_t at = found - keyOrder.begin();
    if (keyOrder.size() == keyOrder.capacity())
        keyOrder.reserve(std::max<size_t>(8, keyOrder.capacity() * 2));
    members.emplace_back(MakeString(std::string(key)), std::move(value));
    keyOrder.insert(keyOrder.begin() + at, static_cast<uint32_t>(members.size() - 1));
    return true;
}

bool ItemNode::IndexKeys()
{
    keyOrder.resize(members.size());
    std::iota(keyOrder.begin(), keyOrder.end(), 0u);
    KeyLess less{members};
    std::sort(keyOrder.begin(), keyOrder.end(), less);
    for (size_t i = 1; i < keyOrder.size(); ++i) {
        if (!less(keyOrder[i - 1], keyOrder[i]))
            return false;
    }
    return true;
}

ItemPtr ItemNode::Clone() const
{
    auto copy = std::make_shared<ItemNode>();
    copy->type = type;
    copy->bytes = bytes;
    copy->number = number;
    copy->members.reserve(members.size());
    for (const auto& [k, v] : members)
        copy->members.emplace_back(k->Clone(), v->Clone());
    copy->keyOrder = keyOrder;
    return copy;
}

int ItemNode::Depth() const
{
    int depth = 0;
    for (const auto& [key, value] : members)
        depth = std::max(depth, value->Depth());
    return depth + 1;
}

size_t ItemNode::AllocationBytes(size_t requested)
{
    if (requested == 0)
        return 0;
    return (requested + HeapGranule - 1) / HeapGranule * HeapGranule + HeapHeaderBytes;
}

size_t ItemNode::NodeHeapBytes()
{
    return AllocationBytes(ControlBlockBytes + sizeof(ItemNode));
}

size_t ItemNode::TextHeapBytes(size_t length)
{
    if (length <= InPlaceChars)
        return 0;
    return AllocationBytes(std::max(length, 2 * InPlaceChars) + 1);
}

size_t ItemNode::MembersHeapBytes(size_t count)
{
    return AllocationBytes(count * sizeof(Member)) + AllocationBytes(count * sizeof(uint32_t));
}

size_t ItemNode::HeapBytes() const
{
    size_t total = NodeHeapBytes() + TextHeapBytes(bytes.capacity() > InPlaceChars ? bytes.capacity() : 0) +
                   AllocationBytes(members.capacity() * sizeof(Member)) +
                   AllocationBytes(keyOrder.capacity() * sizeof(uint32_t));
    for (const auto& [key, value] : members)
        total += key->HeapBytes() + value->HeapBytes();
    return total;
}

}  // namespace rux
