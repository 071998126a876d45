// The plug-in's factory export (ordinal 2).
#pragma once

#include "contracts/OLVRuxUIPlugin.h"

// Creates a client for the active console session. Returns null when the
// allocation fails.
extern "C" OLVRuxUIPlugin* RuxUIClientNew();
