#include "rux/ItemNode.h"

namespace rux {

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

ItemPtr ItemNode::Find(const std::string& key) const
{
    for (const auto& [k, v] : members) {
        if (k->bytes == key)
            return v;
    }
    return nullptr;
}

bool ItemNode::Set(const std::string& key, ItemPtr value)
{
    for (auto& [k, v] : members) {
        if (k->bytes == key) {
            v = std::move(value);
            return true;
        }
    }
    if (members.size() >= MaxAssocMembers)
        return false;
    members.emplace_back(MakeString(key), std::move(value));
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
    return copy;
}

}  // namespace rux
