// The plug-in as a host reaches it: RUXUI.dll beside the program, loaded, and
// a client from its factory export (ordinal 2).
#pragma once

#include "contracts/OLVRuxUIPlugin.h"

#include <windows.h>

// A new client, or null when the module or its factory is missing or the
// factory fails (GetLastError then says why). *module receives the loaded
// module, or null; the caller frees it once the client is gone.
inline OLVRuxUIPlugin* NewPluginClient(HMODULE* module)
{
    *module = LoadLibraryW(L"RUXUI.dll");
    using Factory = OLVRuxUIPlugin* (*)();
    auto factory = *module ? reinterpret_cast<Factory>(reinterpret_cast<void (*)()>(
                                 GetProcAddress(*module, MAKEINTRESOURCEA(2))))
                           : nullptr;
    return factory ? factory() : nullptr;
}
