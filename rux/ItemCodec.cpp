#include "rux/ItemCodec.h"

#include <cstring>

namespace rux {
namespace {

void PutU32(std::string& out, uint32_t value)
{
    char bytes[4] = {char(value), char(value >> 8), char(value >> 16), char(value >> 24)};
    out.append(bytes, 4);
}

class Reader {
public:
    Reader(const unsigned char* data, size_t size) : data_(data), left_(size) {}

    bool U8(uint8_t& value)
    {
        if (left_ < 1)
            return false;
        value = *data_++;
        --left_;
        return true;
    }
    bool U32(uint32_t& value)
    {
        if (left_ < 4)
            return false;
        value = uint32_t(data_[0]) | uint32_t(data_[1]) << 8 | uint32_t(data_[2]) << 16 | uint32_t(data_[3]) << 24;
        data_ += 4;
        left_ -= 4;
        return true;
    }
    bool Bytes(std::string& out, uint32_t length)
    {
        if (left_ < length)
            return false;
        out.assign(reinterpret_cast<const char*>(data_), length);
        data_ += length;
        left_ -= length;
        return true;
    }
    size_t Left() const { return left_; }

private:
    const unsigned char* data_;
    size_t left_;
};

bool DecodeItem(Reader& in, int depth, ItemPtr& item)
{
    if (depth > MaxItemDepth)
        return false;
    uint8_t code = 0;
    if (!in.U8(code))
        return false;
    auto node = std::make_shared<ItemNode>();
    switch (static_cast<ItemType>(code)) {
    case ItemType::String:
    case ItemType::Blob: {
        uint32_t length = 0;
        if (!in.U32(length) || !in.Bytes(node->bytes, length))
            return false;
        break;
    }
    case ItemType::Bool: {
        uint8_t value = 0;
        if (!in.U8(value) || value > 1)
            return false;
        node->number = value;
        break;
    }
    case ItemType::Int32: {
        uint32_t value = 0;
        if (!in.U32(value))
            return false;
        node->number = static_cast<int32_t>(value);
        break;
    }
    case ItemType::Assoc: {
        uint32_t count = 0;
        // Each member takes at least 7 bytes (a 5-byte key and a 2-byte value): a count larger than what is
        // left is refused before anything is reserved for it.
        if (!in.U32(count) || count > MaxAssocMembers || count > in.Left() / 7)
            return false;
        node->members.reserve(count);
        for (uint32_t i = 0; i < count; ++i) {
            ItemPtr key;
            ItemPtr value;
            if (!DecodeItem(in, depth + 1, key) || key->type != ItemType::String)
                return false;
            if (!DecodeItem(in, depth + 1, value))
                return false;
            node->members.emplace_back(std::move(key), std::move(value));
        }
        break;
    }
    default:
        return false;
    }
    node->type = static_cast<ItemType>(code);
    item = std::move(node);
    return true;
}

}  // namespace

void ItemCodec::Encode(const ItemNode& item, std::string& out)
{
    out.push_back(static_cast<char>(item.type));
    switch (item.type) {
    case ItemType::String:
    case ItemType::Blob:
        PutU32(out, static_cast<uint32_t>(item.bytes.size()));
        out.append(item.bytes);
        break;
    case ItemType::Bool:
        out.push_back(item.number ? 1 : 0);
        break;
    case ItemType::Int32:
        PutU32(out, static_cast<uint32_t>(item.number));
        break;
    case ItemType::Assoc:
        PutU32(out, static_cast<uint32_t>(item.members.size()));
        for (const auto& [key, value] : item.members) {
            Encode(*key, out);
            Encode(*value, out);
        }
        break;
    }
}

bool ItemCodec::Decode(const void* data, size_t size, ItemPtr& item)
{
    Reader in(static_cast<const unsigned char*>(data), size);
    ItemPtr decoded;
    if (!DecodeItem(in, 1, decoded) || in.Left() != 0)
        return false;
    item = std::move(decoded);
    return true;
}

}  // namespace rux
