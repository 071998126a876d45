// ruxhost: the host process of the plug-in. Loads RUXUI.dll and reports what it
// exports.
#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

void PrintUsage()
{
    std::printf(
        "usage: ruxhost --exports [DLL]\n"
        "  --exports [DLL]  load the plug-in (default RUXUI.dll beside ruxhost) and print\n"
        "                   its exports with their ordinals\n"
        "  --help           show this text\n");
}

int PrintExports(const wchar_t* path)
{
    HMODULE module = LoadLibraryW(path);
    if (!module) {
        std::fprintf(stderr, "ruxhost: cannot load %ls (error %lu)\n", path, GetLastError());
        return 1;
    }
    auto base = reinterpret_cast<const BYTE*>(module);
    auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    auto exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    auto names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    auto ordinals = reinterpret_cast<const WORD*>(base + exports->AddressOfNameOrdinals);
    std::printf("%ls exports %lu entries:\n", path, exports->NumberOfFunctions);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        const char* name = reinterpret_cast<const char*>(base + names[i]);
        DWORD ordinal = exports->Base + ordinals[i];
        bool resolves = GetProcAddress(module, MAKEINTRESOURCEA(ordinal)) == GetProcAddress(module, name);
        std::printf("  @%lu %s%s\n", ordinal, name, resolves ? "" : " (ordinal does not resolve to the name)");
    }
    FreeLibrary(module);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc >= 2 && std::wcscmp(argv[1], L"--exports") == 0 && argc <= 3)
        return PrintExports(argc == 3 ? argv[2] : L"RUXUI.dll");
    if (argc == 2 && (std::wcscmp(argv[1], L"--help") == 0 || std::wcscmp(argv[1], L"-h") == 0)) {
        PrintUsage();
        return 0;
    }
    std::fprintf(stderr, "ruxhost: bad arguments (try --help)\n");
    return 2;
}
