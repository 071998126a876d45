#include "tools/ruxfuzz/WireItem.h"

#include "rux/wire/Frame.h"
#include "rux/item/ItemNode.h"

std::string WireItem::U32(uint32_t value)
{
    return std::string{char(value), char(value >> 8), char(value >> 16), char(value >> 24)};
}

std::string WireItem::String(std::string_view text)
{
    return char(rux::ItemType::String) + U32(static_cast<uint32_t>(text.size())) + std::string(text);
}

std::string WireItem::Blob(std::string_view data)
{
    return char(rux::ItemType::Blob) + U32(static_cast<uint32_t>(data.size())) + std::string(data);
}

std::string WireItem::Bool(uint8_t raw)
{
    return std::string{char(rux::ItemType::Bool), char(raw)};
}

std::string WireItem::Int(int32_t value)
{
    return char(rux::ItemType::Int32) + U32(static_cast<uint32_t>(value));
}

std::string WireItem::AssocHead(uint32_t count)
{
    return char(rux::ItemType::Assoc) + U32(count);
}

std::string WireItem::Members(const std::vector<std::pair<std::string, std::string>>& members)
{
    std::string out;
    for (const auto& [key, value] : members)
        out += String(key) + value;
    return out;
}

std::string WireItem::Assoc(const std::vector<std::pair<std::string, std::string>>& members)
{
    return AssocHead(static_cast<uint32_t>(members.size())) + Members(members);
}

std::string WireItem::Frame(uint8_t kind, uint32_t service, std::string_view body)
{
    std::string frame = U32(rux::FrameMagic);
    frame += std::string{char(kind), 0, 0, 0};
    frame += U32(service) + U32(static_cast<uint32_t>(body.size()));
    frame += body;
    return frame;
}
