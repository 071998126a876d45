// This process's own figures for a driver that watches the host for leaks:
// open handles, private bytes and threads. Sampled inside the process, because
// from another process Wine reads both handle count and memory as 0.
#pragma once

#include <windows.h>

#include <cstdint>

struct ProcessFigures {
    DWORD handles = 0;
    uint64_t privateBytes = 0;
    DWORD threads = 0;

    // Fills the figures of the calling process. False with the system error
    // when the memory counters cannot be read; a figure the platform does not
    // give at all reads 0.
    static bool Sample(ProcessFigures& figures, DWORD& error);
};
