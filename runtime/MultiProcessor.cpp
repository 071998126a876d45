#include "runtime/MultiProcessor.h"

bool DetectMultiProcessor() noexcept
{
    DWORD_PTR processMask = 1;
    DWORD_PTR systemMask = 0;
    BOOL queried = GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask);
    return MultiProcessorFromAffinity(queried != FALSE, processMask);
}
