// A count of bytes held against a fixed limit, shared between threads without
// a lock: the decoders of a service's messages charge it as they allocate, and
// the service refunds a message's bytes when the message leaves its queue.
#pragma once

#include <atomic>
#include <cstddef>

namespace rux {

class ByteBudget {
public:
    explicit ByteBudget(size_t limit) : limit_(limit) {}
    ByteBudget(const ByteBudget&) = delete;
    ByteBudget& operator=(const ByteBudget&) = delete;

    // Adds `bytes` unless that would pass the limit; false (nothing charged)
    // then.
    bool TryCharge(size_t bytes)
    {
        size_t used = used_.load(std::memory_order_relaxed);
        do {
            if (bytes > limit_ - used)
                return false;
        } while (!used_.compare_exchange_weak(used, used + bytes, std::memory_order_relaxed));
        return true;
    }
    void Refund(size_t bytes) { used_.fetch_sub(bytes, std::memory_order_relaxed); }
    size_t Used() const { return used_.load(std::memory_order_relaxed); }
    size_t Limit() const { return limit_; }

private:
    const size_t limit_;
    std::atomic<size_t> used_{0};
};

}  // namespace rux
