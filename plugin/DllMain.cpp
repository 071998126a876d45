// The module entry routine of RUXUI.dll. The plug-in needs nothing at attach or
// detach: the runtime library's start-up and unload run from its own static
// objects, which the C runtime constructs and destroys around this routine.
// Neither waits for anything: they run inside the loader lock, which every
// thread that starts or ends needs. A worker run that outlives its client's
// Destroy keeps the module loaded itself (WorkerThread), so the host's
// FreeLibrary never finds one still inside.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE /*module*/, DWORD /*reason*/, LPVOID /*reserved*/)
{
    return TRUE;
}
