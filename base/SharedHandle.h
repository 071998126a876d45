// Reference-counted shared owner of one operating-system handle: the last owner
// closes it through the unique owner it counts (UniqueHandle.h: the unique
// owner's kind says what is invalid and how it closes, and closing keeps the
// caller's last-error value).
//
// A SharedHandle always exists and holds its kind's invalid value when empty.
// Storing a new handle replaces the whole owner: the previous handle closes
// once its other owners (for example a worker's copy) have gone too.
#pragma once

#include "base/UniqueHandle.h"

#include <memory>
#include <utility>

template <typename Unique>
class SharedHandle {
public:
    using Handle = decltype(std::declval<const Unique&>().get());

    SharedHandle() = default;
    // Takes ownership of `handle`. Throws std::bad_alloc after closing it when
    // the shared record cannot be allocated.
    explicit SharedHandle(Handle handle) : owner(std::make_shared<Unique>(Unique(handle))) {}

    Handle get() const noexcept { return owner ? owner->get() : Unique::Invalid(); }
    bool valid() const noexcept { return owner && owner->valid(); }
    long use_count() const noexcept { return owner.use_count(); }

    // Drops this owner's reference; the field is then empty.
    void reset() noexcept { owner.reset(); }

private:
    std::shared_ptr<Unique> owner;
};

using SharedEvent = SharedHandle<UniqueEvent>;
using SharedKey = SharedHandle<UniqueKey>;
