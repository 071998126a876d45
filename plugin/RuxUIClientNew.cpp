#include "plugin/RuxUIClientNew.h"

#include "plugin/RuxUIClient.h"

#include <new>

extern "C" OLVRuxUIPlugin* RuxUIClientNew()
{
    // No exception crosses the export: a failed construction is a failed
    // allocation to the host.
    try {
        return new RuxUIClient;
    } catch (...) {
        return nullptr;
    }
}
