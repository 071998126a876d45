// Clearing key material and intermediate secrets when they go out of use.
#pragma once

#include <cstddef>

// Zeroes `length` bytes in a way the optimiser cannot drop as a dead store.
void WipeSecret(void* data, size_t length);
