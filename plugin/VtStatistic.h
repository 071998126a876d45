// The client's summary of the engine statistics, as the user interface shows it.
#pragma once

#include <cstdint>

struct VtStatistic {
    uint32_t malicious = 0;        // blocked count A + blocked count C: "TotalMaliciousBlocked"
    uint32_t suspicious = 0;       // "TotalSuspiciousBlocked"
    uint32_t ignored = 0;          // always 0: "TotalIgnored"
    uint32_t harmfulDataSize = 0;  // "HarmfulDataSize"
};
