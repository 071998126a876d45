#include "plugin/RuxUIClientNew.h"

extern "C" OLVRuxUIPlugin* RuxUIClientNew()
{
    return nullptr;
}
