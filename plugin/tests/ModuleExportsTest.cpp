// RUXUI.dll as the host sees it: exactly two exports at their ordinals, a
// version resource, the no-log behaviour of the flush entry, a client from the
// factory, and a module the host may free while a run of it is still busy.
#include "contracts/OLVRuxUIPlugin.h"
#include "base/UniqueHandle.h"
#include "contracts/RuxApi.h"
#include "tests/support/ChildScenario.h"
#include "tests/support/EngineSandbox.h"
#include "tests/support/WaitUntil.h"
#include "vtapi/FaultSwitch.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>

using namespace testsupport;

namespace {

const IMAGE_EXPORT_DIRECTORY* ExportDirectory(HMODULE module)
{
    auto base = reinterpret_cast<const BYTE*>(module);
    auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    return reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
}

using Factory = OLVRuxUIPlugin* (*)();

Factory ClientFactory(HMODULE module)
{
    // Through void(*)(): the one cast between function types that is always quiet.
    return reinterpret_cast<Factory>(reinterpret_cast<void (*)()>(GetProcAddress(module, MAKEINTRESOURCEA(2))));
}

// Whether a sink of that name serves "SB" (a run has started its own).
bool SinkServes(const char* sinkName)
{
    bool served = false;
    if (RuxConnection connection = RuxOpenConnection(sinkName)) {
        if (RuxService service = RuxOpenService(connection, "SB")) {
            served = true;
            RuxCloseService(service);
        }
        RuxCloseConnection(connection);
    }
    return served;
}

}  // namespace

// A host that destroys its client and frees the module while the client's run
// is held in an engine call (the parent holds it; the run makes that call
// without the client lock). Prints "freed" once FreeLibrary has returned, then
// waits for the module to leave the process after the run.
OLV_CHILD_SCENARIO(HostFreesThePluginDuringASlowRun)
{
    HMODULE module = LoadLibraryW(L"RUXUI.dll");
    Factory factory = module ? ClientFactory(module) : nullptr;
    if (!factory)
        return 3;
    RuxInit();
    OLVRuxUIPlugin* client = factory();
    if (!client)
        return 4;
    client->StartWorker();
    // From its sink's start on, the run goes into the held call without
    // looking at Destroy again.
    if (!WaitUntil([] { return SinkServes("SB"); }, 20000))
        return 5;
    client->Destroy();
    if (!FreeLibrary(module))
        return 6;
    std::printf("freed\n");
    std::fflush(stdout);
    if (!GetModuleHandleW(L"RUXUI.dll"))
        return 7;  // unmapped under the run
    bool gone = WaitUntil([] { return GetModuleHandleW(L"RUXUI.dll") == nullptr; }, 30000);
    RuxExit();
    return gone ? 0 : 8;
}

TEST(ModuleExports, ExactlyTwoNamedExportsAtOrdinalsOneAndTwo)
{
    UniqueModule dll(LoadLibraryW(L"RUXUI.dll"));
    ASSERT_TRUE(dll.valid()) << GetLastError();

    const IMAGE_EXPORT_DIRECTORY* exports = ExportDirectory(dll.get());
    EXPECT_EQ(exports->Base, 1u);
    EXPECT_EQ(exports->NumberOfFunctions, 2u);
    EXPECT_EQ(exports->NumberOfNames, 2u);

    FARPROC flushByOrdinal = GetProcAddress(dll.get(), MAKEINTRESOURCEA(1));
    FARPROC factoryByOrdinal = GetProcAddress(dll.get(), MAKEINTRESOURCEA(2));
    ASSERT_NE(flushByOrdinal, nullptr);
    ASSERT_NE(factoryByOrdinal, nullptr);
    EXPECT_EQ(flushByOrdinal, GetProcAddress(dll.get(), "OlvLog_FlushThread"));
    EXPECT_EQ(factoryByOrdinal, GetProcAddress(dll.get(), "RuxUIClientNew"));
    EXPECT_EQ(GetProcAddress(dll.get(), MAKEINTRESOURCEA(3)), nullptr);
}

TEST(ModuleExports, FlushEntryWithoutLogEndsItsThreadWithCodeTwo)
{
    UniqueModule dll(LoadLibraryW(L"RUXUI.dll"));
    ASSERT_TRUE(dll.valid());
    // Through void(*)(): the one cast between function types that is always quiet.
    auto entry = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void (*)()>(GetProcAddress(dll.get(), MAKEINTRESOURCEA(1))));
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
    UniqueModule dll(LoadLibraryW(L"RUXUI.dll"));
    ASSERT_TRUE(dll.valid()) << GetLastError();
    Factory factory = ClientFactory(dll.get());
    ASSERT_NE(factory, nullptr);

    OLVRuxUIPlugin* client = factory();
    ASSERT_NE(client, nullptr);
    client->StartWorker();
    client->SetSession(-1);
    client->Destroy();
}

using ModuleUnload = EngineSandbox;

// Destroy gives up on the run after its wait and the host frees the module:
// the unload used to wait for the run inside the loader lock, and the run,
// whose sink's threads need that lock to end, could never finish: FreeLibrary
// hung. Now it returns, and the module goes once the run has returned.
TEST_F(ModuleUnload, HostFreesThePluginWhileARunIsHeldInTheEngineAndTheModuleGoesAfterTheRun)
{
    FaultSwitch faults(state_);
    ASSERT_EQ(faults.SetDelay(EngineCall::SetActiveSession, FaultDelayMaxMs), static_cast<DWORD>(ERROR_SUCCESS));
    RunningProcess host = StartChildScenario("HostFreesThePluginDuringASlowRun", {}, DropCarriageReturns);
    bool freed = host.WaitForOutput("freed\n", 30000);
    // Released whatever happened, so that the host can end.
    EXPECT_EQ(faults.Clear(EngineCall::SetActiveSession), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(freed) << "FreeLibrary did not return while the run was busy";
    EXPECT_EQ(host.Finish(60000).exitCode, 0u);
}
