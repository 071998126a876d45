// Lifetime by count of references, for an object that several threads hold
// and none owns alone (the client: its host and its queued worker runs).
//
// The rule:
//   - the object is made with one reference, its maker's;
//   - whoever takes another (AddReference) gives it back exactly once
//     (Release); nobody gives back a reference they do not hold;
//   - the holder that gives back the last reference frees the object
//     (`delete` of the Derived type), on its own thread, right there; no one
//     else frees it, and no one touches it afterwards.
// Release(lastStep) gives the reference back and then runs `lastStep` before
// the object may be freed: the last use that a holder makes of an object
// another holder may already have let go (a run's done signal, on which that
// holder waits before it frees).
//
// Threads: any. The count is atomic; giving back orders the holder's earlier
// writes before the free (release), and the free after every holder's
// (acquire).
#pragma once

#include <atomic>

template <typename Derived>
class RefCounted {
public:
    RefCounted(const RefCounted&) = delete;
    RefCounted& operator=(const RefCounted&) = delete;

protected:
    RefCounted() noexcept = default;
    ~RefCounted() = default;

    void AddReference() noexcept { references.fetch_add(1, std::memory_order_relaxed); }

    template <typename LastStep>
    void Release(LastStep lastStep) noexcept
    {
        const bool last = references.fetch_sub(1, std::memory_order_acq_rel) == 1;
        lastStep();
        if (last)
            delete static_cast<Derived*>(this);
    }

    void Release() noexcept
    {
        Release([] {});
    }

private:
    std::atomic<long> references{1};
};
