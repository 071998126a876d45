// A DLL with one export that keeps a buffer in its stack frame and hands its
// address to the system, so that no optimisation can take it out of memory.
// The binary check's tests build it with and without stack protection.
#include <windows.h>

#ifdef SAMPLE_UNGUARDED
#define SAMPLE_GUARD __attribute__((no_stack_protector))
#else
#define SAMPLE_GUARD
#endif

extern "C" __declspec(dllexport) SAMPLE_GUARD int SampleModuleNameLength()
{
    char buffer[MAX_PATH];
    return static_cast<int>(GetModuleFileNameA(nullptr, buffer, sizeof buffer));
}
