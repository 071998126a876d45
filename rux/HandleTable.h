// Maps the opaque handles of the API to the objects behind them. A handle is
// never a pointer: it packs a kind tag, a generation and a slot index, so that
// a released, stale, mistyped or foreign handle finds nothing instead of freed
// memory. Not locked: the owner (Library) serialises every call.
//
//   bits 63..56  kind (HandleKind, never 0)
//   bits 55..32  generation of the slot (never 0; bumped when the slot is freed)
//   bits 31..0   slot index + 1
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace rux {

enum class HandleKind : uint8_t {
    Item = 1,
    Sink = 2,
    StartedService = 3,  // a service of one of our sinks (RuxStartService)
    OpenedService = 4,   // a service reached through a connection (RuxOpenService)
    Connection = 5,
};

class HandleTable {
public:
    // `seed` varies the first generation of every slot, so that handles of
    // another process (or another table) rarely match ours.
    explicit HandleTable(uint32_t seed);

    uint64_t Add(HandleKind kind, std::shared_ptr<void> object);
    // Makes room for one Add, which then cannot fail.
    void ReserveOne();
    // The object of a live handle of that kind, or null.
    std::shared_ptr<void> Find(uint64_t handle, HandleKind kind) const;
    // The kind of a live handle, or 0.
    uint8_t KindOf(uint64_t handle) const;
    // Frees the slot of a live handle of that kind; returns its object or null.
    std::shared_ptr<void> Remove(uint64_t handle, HandleKind kind);
    // Every live handle of a kind.
    std::vector<uint64_t> Handles(HandleKind kind) const;
    size_t Count() const { return live_; }

private:
    struct Slot {
        uint32_t generation;
        HandleKind kind;  // meaningful while object is set
        std::shared_ptr<void> object;
    };

    const Slot* Lookup(uint64_t handle) const;

    std::vector<Slot> slots_;
    std::vector<uint32_t> free_;
    uint32_t seed_;
    size_t live_ = 0;
};

}  // namespace rux
