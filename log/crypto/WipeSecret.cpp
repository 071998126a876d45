#include "log/crypto/WipeSecret.h"

#include <cstring>

void WipeSecret(void* data, size_t length)
{
    // Called through a volatile pointer, so the optimiser cannot prove the
    // store dead and drop it, yet it keeps the speed of the library's memset.
    static void* (*const volatile clear)(void*, int, size_t) = std::memset;
    clear(data, 0, length);
}
