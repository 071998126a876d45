#include "rux/item/ItemCodec.h"

#include <cstring>
#include <new>

namespace rux {
namespace {

// The shared budget is charged in slices of this size, so that a wide item
// does not touch the shared counter for each of its nodes.
constexpr size_t BudgetSliceBytes = 64 * 1024;

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
    // The next `length` bytes, consumed; null when fewer are left.
    const char* Take(uint32_t length)
    {
        if (left_ < length)
            return nullptr;
        const char* at = reinterpret_cast<const char*>(data_);
        data_ += length;
        left_ -= length;
        return at;
    }
    size_t Left() const { return left_; }

private:
    const unsigned char* data_;
    size_t left_;
};

// Charges the heap estimate of each allocation before it is made. What it
// took from the shared budget goes back on destruction unless Keep() said
// the item is kept.
class Charger {
public:
    explicit Charger(const DecodeLimits& limits) : itemLeft_(limits.itemBytes), budget_(limits.budget) {}
    ~Charger()
    {
        if (budget_)
            budget_->Refund(slice_ + (kept_ ? 0 : charged_));
    }
    Charger(const Charger&) = delete;
    Charger& operator=(const Charger&) = delete;

    bool Charge(size_t bytes)
    {
        if (bytes > itemLeft_) {
            failure_ = DecodeResult::OverItemBound;
            return false;
        }
        if (budget_ && bytes > slice_) {
            size_t need = bytes - slice_;
            size_t take = need > BudgetSliceBytes ? need : BudgetSliceBytes;
            // Near the end of the budget a whole slice may not fit where the
            // bytes still do.
            if (!budget_->TryCharge(take)) {
                take = need;
                if (!budget_->TryCharge(take)) {
                    failure_ = DecodeResult::OverBudget;
                    return false;
                }
            }
            slice_ += take;
        }
        if (budget_)
            slice_ -= bytes;
        itemLeft_ -= bytes;
        charged_ += bytes;
        return true;
    }
    // Whether `bytes` more could still be charged, without charging them: an
    // associative item is refused at its member count when its members
    // cannot fit, before anything is built for them.
    bool CanAfford(size_t bytes)
    {
        if (bytes > itemLeft_) {
            failure_ = DecodeResult::OverItemBound;
            return false;
        }
        if (budget_ && bytes > slice_ && bytes - slice_ > budget_->Limit() - budget_->Used()) {
            failure_ = DecodeResult::OverBudget;
            return false;
        }
        return true;
    }
    size_t Keep()
    {
        kept_ = true;
        return charged_;
    }
    // Why the last Charge failed; Malformed when none did.
    DecodeResult Failure() const { return failure_; }

private:
    size_t itemLeft_;
    ByteBudget* budget_;
    size_t slice_ = 0;    // taken from the budget, not yet spent
    size_t charged_ = 0;  // spent on this item
    bool kept_ = false;
    DecodeResult failure_ = DecodeResult::Malformed;
};

bool DecodeItem(Reader& in, Charger& charger, int depth, ItemPtr& item)
{
    if (depth > MaxItemDepth)
        return false;
    uint8_t code = 0;
    if (!in.U8(code))
        return false;
    ItemType type = static_cast<ItemType>(code);
    if (type != ItemType::String && type != ItemType::Blob && type != ItemType::Bool && type != ItemType::Int32 &&
        type != ItemType::Assoc)
        return false;
    if (!charger.Charge(ItemNode::NodeHeapBytes()))
        return false;
    auto node = std::make_shared<ItemNode>();
    node->type = type;
    switch (type) {
    case ItemType::String:
    case ItemType::Blob: {
        uint32_t length = 0;
        const char* text = nullptr;
        if (!in.U32(length) || !(text = in.Take(length)) || !charger.Charge(ItemNode::TextHeapBytes(length)))
            return false;
        node->bytes.assign(text, length);
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
        // Each member takes at least 7 bytes (a 5-byte key and a 2-byte
        // value): a count larger than what is left is refused before
        // anything is reserved for it.
        // Every member is at least two nodes.
        if (!in.U32(count) || count > MaxAssocMembers || count > in.Left() / 7 ||
            !charger.CanAfford(ItemNode::MembersHeapBytes(count) + 2 * count * ItemNode::NodeHeapBytes()) ||
            !charger.Charge(ItemNode::MembersHeapBytes(count)))
            return false;
        node->members.reserve(count);
        node->keyOrder.reserve(count);
        for (uint32_t i = 0; i < count; ++i) {
            ItemPtr key;
            ItemPtr value;
            if (!DecodeItem(in, charger, depth + 1, key) || key->type != ItemType::String ||
                !DecodeItem(in, charger, depth + 1, value))
                return false;
            node->members.emplace_back(std::move(key), std::move(value));
        }
        if (!node->IndexKeys())
            return false;
        break;
    }
    }
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

DecodeResult ItemCodec::Decode(const void* data, size_t size, const DecodeLimits& limits, ItemPtr& item,
                               size_t& charged)
{
    try {
        Charger charger(limits);
        Reader in(static_cast<const unsigned char*>(data), size);
        ItemPtr decoded;
        if (!DecodeItem(in, charger, 1, decoded))
            return charger.Failure();
        if (in.Left() != 0)
            return DecodeResult::Malformed;
        charged = charger.Keep();
        item = std::move(decoded);
        return DecodeResult::Ok;
    } catch (const std::bad_alloc&) {
        // What was built so far is gone with the stack, and the charger has
        // refunded its charges.
        return DecodeResult::OutOfMemory;
    }
}

bool ItemCodec::Decode(const void* data, size_t size, ItemPtr& item)
{
    size_t charged = 0;
    return Decode(data, size, DecodeLimits{ItemBoundBytes(size)}, item, charged) == DecodeResult::Ok;
}

}  // namespace rux
