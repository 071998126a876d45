// Allocations through the test program's own operator new made to throw
// std::bad_alloc while the scope lasts. The program links olv_testsupport_alloc,
// whose operator new replaces the standard one: code under test linked into the
// program allocates through it, a DLL through its own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace testsupport {

class AllocationFailure {
public:
    static constexpr size_t AnySize = SIZE_MAX;

    // The next allocation of exactly `bytes` (or of any size) fails, once.
    explicit AllocationFailure(size_t bytes = AnySize) : AllocationFailure(bytes, false) {}
    // Every allocation of `bytes` or more fails while the scope lasts.
    static AllocationFailure EveryFrom(size_t bytes) { return AllocationFailure(bytes, true); }
    ~AllocationFailure();
    AllocationFailure(const AllocationFailure&) = delete;
    AllocationFailure& operator=(const AllocationFailure&) = delete;

    // Whether an allocation failed since the scope began.
    bool Happened() const;

private:
    AllocationFailure(size_t bytes, bool every);
};

}  // namespace testsupport
