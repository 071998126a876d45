// One-time initialisation guard: one 32-bit word per site.
//
//   state | meaning
//   ------+----------------------------------------------
//     0   | not run
//     2   | running: others Sleep(0) and look again
//     1   | done
//
// The initialising thread keeps its last-error value across the initialiser.
// Nothing here logs, so the logger may use it.
#pragma once

#include <windows.h>

#include <atomic>

using OnceGuard = std::atomic<long>;

template <typename Init>
void RunOnce(OnceGuard& guard, Init&& init)
{
    for (;;) {
        long state = guard.load(std::memory_order_acquire);
        if (state == 1)
            return;
        long expected = 0;
        if (state == 0 && guard.compare_exchange_strong(expected, 2, std::memory_order_acq_rel)) {
            DWORD savedError = GetLastError();
            try {
                init();
            } catch (...) {
                // A failed initialiser leaves the site unrun, so a later call may try again.
                guard.store(0, std::memory_order_release);
                SetLastError(savedError);
                throw;
            }
            guard.store(1, std::memory_order_release);
            SetLastError(savedError);
            return;
        }
        Sleep(0);
    }
}
