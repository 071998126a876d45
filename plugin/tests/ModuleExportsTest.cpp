// RUXUI.dll as the host sees it: exactly two exports at their ordinals, a
// version resource, the no-log behaviour of the flush entry, and a client
// from the factory.
#include "contracts/OLVRuxUIPlugin.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace {

struct LoadedModule {
    HMODULE module = LoadLibraryW(L"RUXUI.dll");
    ~LoadedModule()
    {
        if (module)
            FreeLibrary(module);
    }
};

const IMAGE_EXPORT_DIRECTORY* ExportDirectory(HMODULE module)
{
    auto base = reinterpret_cast<const BYTE*>(module);
    auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    return reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
}

}  // namespace

TEST(ModuleExports, ExactlyTwoNamedExportsAtOrdinalsOneAndTwo)
{
    LoadedModule dll;
    ASSERT_NE(dll.module, nullptr) << GetLastError();

    const IMAGE_EXPORT_DIRECTORY* exports = ExportDirectory(dll.module);
    EXPECT_EQ(exports->Base, 1u);
    EXPECT_EQ(exports->NumberOfFunctions, 2u);
    EXPECT_EQ(exports->NumberOfNames, 2u);

    FARPROC flushByOrdinal = GetProcAddress(dll.module, MAKEINTRESOURCEA(1));
    FARPROC factoryByOrdinal = GetProcAddress(dll.module, MAKEINTRESOURCEA(2));
    ASSERT_NE(flushByOrdinal, nullptr);
    ASSERT_NE(factoryByOrdinal, nullptr);
    EXPECT_EQ(flushByOrdinal, GetProcAddress(dll.module, "OlvLog_FlushThread"));
    EXPECT_EQ(factoryByOrdinal, GetProcAddress(dll.module, "RuxUIClientNew"));
    EXPECT_EQ(GetProcAddress(dll.module, MAKEINTRESOURCEA(3)), nullptr);
}

TEST(ModuleExports, FlushEntryWithoutLogEndsItsThreadWithCodeTwo)
{
    LoadedModule dll;
    ASSERT_NE(dll.module, nullptr);
    // Through void(*)(): the one cast between function types that is always quiet.
    auto entry = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void (*)()>(GetProcAddress(dll.module, MAKEINTRESOURCEA(1))));
    ASSERT_NE(entry, nullptr);

    HANDLE thread = CreateThread(nullptr, 0, entry, reinterpret_cast<LPVOID>(0x1234), 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 2u);
    CloseHandle(thread);
}

TEST(ModuleExports, FactoryGivesAClientThatTheHostCanStartAndDestroy)
{
    LoadedModule dll;
    ASSERT_NE(dll.module, nullptr) << GetLastError();
    using Factory = OLVRuxUIPlugin* (*)();
    auto factory = reinterpret_cast<Factory>(
        reinterpret_cast<void (*)()>(GetProcAddress(dll.module, MAKEINTRESOURCEA(2))));
    ASSERT_NE(factory, nullptr);

    OLVRuxUIPlugin* client = factory();
    ASSERT_NE(client, nullptr);
    client->StartWorker();
    client->SetSession(-1);
    client->Destroy();
    // The module's unload waits for the worker run, which has ended by now.
}
