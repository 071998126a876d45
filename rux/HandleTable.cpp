#include "rux/HandleTable.h"

namespace rux {
namespace {

constexpr uint32_t GenerationMask = 0xFFFFFF;

uint32_t NextGeneration(uint32_t generation)
{
    generation = (generation + 1) & GenerationMask;
    return generation ? generation : 1;
}

}  // namespace

HandleTable::HandleTable(uint32_t seed) : seed_((seed & GenerationMask) | 1) {}

uint64_t HandleTable::Add(HandleKind kind, std::shared_ptr<void> object)
{
    uint32_t index;
    if (!free_.empty()) {
        index = free_.back();
        free_.pop_back();
    } else {
        index = static_cast<uint32_t>(slots_.size());
        // Each slot starts at a different generation, derived from the seed.
        slots_.push_back(Slot{NextGeneration(seed_ + index * 7919u), kind, nullptr});
        // Room for every slot in the free list now, so that Remove never
        // allocates (it runs in calls that cannot report a failure).
        free_.reserve(slots_.capacity());
    }
    Slot& slot = slots_[index];
    slot.kind = kind;
    slot.object = std::move(object);
    ++live_;
    return uint64_t(kind) << 56 | uint64_t(slot.generation) << 32 | uint64_t(index + 1);
}

void HandleTable::ReserveOne()
{
    if (free_.empty() && slots_.size() == slots_.capacity()) {
        slots_.reserve(slots_.capacity() < 16 ? 16 : slots_.capacity() * 2);
        free_.reserve(slots_.capacity());
    }
}

const HandleTable::Slot* HandleTable::Lookup(uint64_t handle) const
{
    uint32_t index = static_cast<uint32_t>(handle) - 1;
    if (static_cast<uint32_t>(handle) == 0 || index >= slots_.size())
        return nullptr;
    const Slot& slot = slots_[index];
    if (!slot.object || slot.generation != ((handle >> 32) & GenerationMask) ||
        static_cast<uint8_t>(slot.kind) != static_cast<uint8_t>(handle >> 56))
        return nullptr;
    return &slot;
}

std::shared_ptr<void> HandleTable::Find(uint64_t handle, HandleKind kind) const
{
    const Slot* slot = Lookup(handle);
    return slot && slot->kind == kind ? slot->object : nullptr;
}

uint8_t HandleTable::KindOf(uint64_t handle) const
{
    const Slot* slot = Lookup(handle);
    return slot ? static_cast<uint8_t>(slot->kind) : 0;
}

std::shared_ptr<void> HandleTable::Remove(uint64_t handle, HandleKind kind)
{
    const Slot* found = Lookup(handle);
    if (!found || found->kind != kind)
        return nullptr;
    uint32_t index = static_cast<uint32_t>(handle) - 1;
    Slot& slot = slots_[index];
    std::shared_ptr<void> object = std::move(slot.object);
    slot.object.reset();
    slot.generation = NextGeneration(slot.generation);
    free_.push_back(index);
    --live_;
    return object;
}

std::vector<uint64_t> HandleTable::Handles(HandleKind kind) const
{
    std::vector<uint64_t> handles;
    for (size_t i = 0; i < slots_.size(); ++i) {
        if (slots_[i].object && slots_[i].kind == kind)
            handles.push_back(uint64_t(kind) << 56 | uint64_t(slots_[i].generation) << 32 | uint64_t(i + 1));
    }
    return handles;
}

}  // namespace rux
