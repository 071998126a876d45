#include "rux/TraceLimiter.h"

namespace rux {

bool TraceLimiter::Allow(uint64_t& heldBack)
{
    ULONGLONG now = GetTickCount64();
    MutexHolder hold(mutex_);
    if (letThrough_ == 0 || now - periodStart_ >= periodMs_) {
        periodStart_ = now;
        letThrough_ = 0;
    }
    if (letThrough_ >= burst_) {
        ++heldBack_;
        return false;
    }
    ++letThrough_;
    heldBack = heldBack_;
    heldBack_ = 0;
    return true;
}

std::string TraceLimiter::HeldBackNote(uint64_t heldBack)
{
    if (heldBack == 0)
        return std::string();
    return " (" + std::to_string(heldBack) + " similar line" + (heldBack == 1 ? " was" : "s were") +
           " not traced before this one)";
}

}  // namespace rux
