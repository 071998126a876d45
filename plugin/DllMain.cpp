// The module entry routine of RUXUI.dll. The plug-in needs nothing at attach or
// detach: the runtime library's start-up and unload run from its own static
// objects, which the C runtime constructs and destroys around this routine.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE /*module*/, DWORD /*reason*/, LPVOID /*reserved*/)
{
    return TRUE;
}
