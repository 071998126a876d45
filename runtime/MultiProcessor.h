// The process-wide choice between the two acquire paths of the locks.
#pragma once

#include <windows.h>

// False until the module's start-up code has run, then fixed. While false the
// locks take the single-processor path, which is correct on any machine; when
// true an acquirer that finds a lock taken yields once before it queues.
extern bool MultiProcessor;

// The decision itself: true only when the affinity query succeeded and the
// process mask, read as an unsigned number, is above 1. A mask of 2 (one
// processor that is not processor 0) therefore counts as multi-processor.
constexpr bool MultiProcessorFromAffinity(bool queried, unsigned long long processMask) noexcept
{
    return queried && processMask > 1;
}

// Asks the system for the current process's affinity mask and decides.
bool DetectMultiProcessor() noexcept;
