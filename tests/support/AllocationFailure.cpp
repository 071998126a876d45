#include "tests/support/AllocationFailure.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace testsupport {

namespace {

// Zero: nothing armed.
std::atomic<size_t> FailingBytes{0};
std::atomic<bool> FailEveryFrom{false};
std::atomic<bool> Failed{false};

// Whether this allocation is to fail; a one-shot failure disarms itself.
bool Fails(size_t bytes)
{
    size_t failing = FailingBytes.load();
    if (failing == 0)
        return false;
    if (FailEveryFrom.load())
        return bytes >= failing;
    return (failing == bytes || failing == AllocationFailure::AnySize) &&
           FailingBytes.compare_exchange_strong(failing, 0);
}

}  // namespace

AllocationFailure::AllocationFailure(size_t bytes, bool every)
{
    Failed.store(false);
    FailEveryFrom.store(every);
    FailingBytes.store(bytes);
}

AllocationFailure::~AllocationFailure()
{
    FailingBytes.store(0);
}

bool AllocationFailure::Happened() const
{
    return Failed.load();
}

}  // namespace testsupport

// The program's own allocator, with the failures above. The array, sized and
// no-throw forms of the standard library call these.
void* operator new(std::size_t bytes)
{
    if (testsupport::Fails(bytes)) {
        testsupport::Failed.store(true);
        throw std::bad_alloc();
    }
    if (void* block = std::malloc(bytes ? bytes : 1))
        return block;
    throw std::bad_alloc();
}

void operator delete(void* block) noexcept
{
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept
{
    std::free(block);
}
