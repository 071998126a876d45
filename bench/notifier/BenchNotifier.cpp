// From an engine statistics change to the user interface's receipt of the push:
// the registry value changes under the session user's "Stats" key, the plug-in's
// watch fires, its worker reads the engine and sends "{s:i,s:i,s:i,s:i}" to the
// session's sink. This program is host and user interface at once: it loads
// RUXUI.dll, starts the session's sink "QClient(N)", and times each change until
// the update carrying the new counter arrives. Prints p50, p99 and the maximum.
#include "bench/common/BenchArguments.h"
#include "bench/common/BenchTiming.h"
#include "contracts/OLVRuxUIPlugin.h"
#include "contracts/RuxApi.h"
#include "contracts/RuxExtensions.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr const wchar_t* StatsPath = L"Software\\Halvern\\OLV\\Stats";
constexpr const wchar_t* BlockedAValue = L"BlockedA";
constexpr int DefaultChanges = 300;
constexpr DWORD PushTimeoutMs = 5000;

void PrintUsage()
{
    std::printf(
        "usage: bench_notifier [--changes N]\n"
        "  Times the path from a change of the engine's statistics (the \"BlockedA\"\n"
        "  value under HKCU\\Software\\Halvern\\OLV\\Stats) to the user interface's\n"
        "  receipt of the plug-in's statistics push. Loads RUXUI.dll beside this\n"
        "  program; needs the sink names \"SB\" and \"QClient(N)\" free.\n"
        "  --changes N  changes to time (default %d, at least 10)\n"
        "  --help       show this text\n",
        DefaultChanges);
}

bool SetBlockedA(DWORD value)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, StatsPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    LSTATUS result =
        RegSetValueExW(key, BlockedAValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

// The user interface's end: the session's sink with the service "SB".
class SessionUi {
public:
    bool Start(const std::string& sinkName)
    {
        sinkEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        serviceEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        sink = RuxStartSink(sinkName.c_str(), sinkEvent);
        service = sink ? RuxStartService(sink, "SB", serviceEvent) : nullptr;
        return service != nullptr;
    }
    ~SessionUi()
    {
        RuxStopService(service);
        RuxStopSink(sink);
        if (sinkEvent)
            CloseHandle(sinkEvent);
        if (serviceEvent)
            CloseHandle(serviceEvent);
    }

    // Waits for a message of `kind`; for an update, one whose malicious count is
    // `malicious`. Other messages are passed over.
    bool WaitFor(int32_t kind, int32_t malicious, DWORD timeout)
    {
        DWORD start = GetTickCount();
        for (;;) {
            RuxItem item = nullptr;
            int32_t popped;
            while ((popped = RuxPopCall(service, &item)) != RuxResult_Empty) {
                if (popped != kind || !item)
                    continue;
                if (kind != RuxResult_Update)
                    return true;
                RuxItem member = nullptr;
                int32_t value = -1;
                if (RuxGetAssoc(item, "TotalMaliciousBlocked", &member) == 0) {
                    RuxGetInt(member, &value);
                    RuxReleaseItem(member);
                }
                if (value == malicious)
                    return true;
            }
            DWORD elapsed = GetTickCount() - start;
            if (elapsed >= timeout || WaitForSingleObject(serviceEvent, timeout - elapsed) != WAIT_OBJECT_0)
                return false;
        }
    }

private:
    HANDLE sinkEvent = nullptr;
    HANDLE serviceEvent = nullptr;
    RuxSink sink = nullptr;
    RuxService service = nullptr;
};

int Run(int changes)
{
    if (!SetBlockedA(0)) {
        std::fprintf(stderr, "bench_notifier: cannot write HKCU\\%ls\n", StatsPath);
        return 1;
    }
    HMODULE plugin = LoadLibraryW(L"RUXUI.dll");
    if (!plugin) {
        std::fprintf(stderr, "bench_notifier: cannot load RUXUI.dll (error %lu)\n", GetLastError());
        return 1;
    }
    using FactoryFn = OLVRuxUIPlugin*(__cdecl*)();
    auto factory = reinterpret_cast<FactoryFn>(reinterpret_cast<void (*)()>(GetProcAddress(plugin, MAKEINTRESOURCEA(2))));

    RuxInit();
    std::string sinkName = "QClient(" + std::to_string(WTSGetActiveConsoleSessionId()) + ")";
    int status = 1;
    {
        SessionUi ui;
        OLVRuxUIPlugin* client = factory ? factory() : nullptr;
        if (!ui.Start(sinkName)) {
            std::fprintf(stderr, "bench_notifier: cannot start the sink \"%s\" (in use?)\n", sinkName.c_str());
        } else if (!client) {
            std::fprintf(stderr, "bench_notifier: RuxUIClientNew returned no client\n");
        } else {
            client->StartWorker();
            if (!ui.WaitFor(RuxResult_Advise, 0, PushTimeoutMs)) {
                std::fprintf(stderr, "bench_notifier: no first status push from the plug-in\n");
            } else {
                std::vector<double> samples;
                samples.reserve(changes);
                for (int i = 1; i <= changes; ++i) {
                    const double before = Now();
                    if (!SetBlockedA(static_cast<DWORD>(i)) || !ui.WaitFor(RuxResult_Update, i, PushTimeoutMs)) {
                        std::fprintf(stderr, "bench_notifier: change %d brought no push within %lu ms\n", i,
                                     PushTimeoutMs);
                        break;
                    }
                    samples.push_back((Now() - before) * 1000.0);
                    if (i % 50 == 0)
                        std::fprintf(stderr, "bench_notifier: %d/%d changes\n", i, changes);
                }
                if (static_cast<int>(samples.size()) == changes) {
                    auto at = [&](double q) { return Percentile(samples, q); };
                    std::printf("%-52s %8s %8s %8s\n", "statistics change -> UI receipt (ms)", "p50", "p99", "max");
                    std::printf("%-52s %8.3f %8.3f %8.3f\n", ("over " + std::to_string(changes) + " changes").c_str(),
                                at(0.5), at(0.99), at(1));
                    std::printf("target: p99 under 50 ms: %s\n", at(0.99) < 50.0 ? "met" : "NOT met");
                    status = 0;
                }
            }
        }
        if (client)
            client->Destroy();
    }
    RuxExit();
    RegDeleteKeyW(HKEY_CURRENT_USER, StatsPath);
    return status;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    int changes = DefaultChanges;
    BenchArguments arguments("bench_notifier", &PrintUsage);
    arguments.Count("--changes", changes, 10);
    if (std::optional<int> exit = arguments.Read(argc, argv))
        return *exit;
    return Run(changes);
}
