// Messaging between two processes through Rux.dll, against a bare message-mode
// pipe moving messages of the same size: query round trip (p50, p99) and
// one-way calls per second. The same executable, started with --serve, is the
// other process. Bare and Rux rounds alternate, so that a neighbour's load on
// the machine falls on both alike.
#include "bench/common/BenchTiming.h"
#include "rux/RuxExtensions.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::wstring Wide(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

std::wstring EventName(const char* what, DWORD pid)
{
    return L"Local\\BenchRux." + Wide(what) + L"." + std::to_wstring(pid);
}

// --- the other process ------------------------------------------------------

// Echoes every message of the bare pipe whose first byte is 'p'; 'o' messages
// are only read.
DWORD WINAPI ServeBarePipe(void* parameter)
{
    HANDLE pipe = static_cast<HANDLE>(parameter);
    if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED)
        return 1;
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr))
            break;
        DWORD written = 0;
        if (read && buffer[0] == 'p' && !WriteFile(pipe, buffer.data(), read, &written, nullptr))
            break;
    }
    return 0;
}

std::string Text(RuxItem item)
{
    char buffer[256] = {};
    RuxCopyStr(item, buffer, 0, sizeof buffer);
    return buffer;
}

int Serve(const char* ownSink, const char* pipeName)
{
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, EventName("ready", GetCurrentProcessId()).c_str());
    HANDLE pipe = CreateNamedPipeW(Wide(pipeName).c_str(), PIPE_ACCESS_DUPLEX,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 65536, 65536, 0,
                                   nullptr);
    RuxInit();
    HANDLE serviceEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    RuxSink sink = RuxStartSink(ownSink, nullptr);
    RuxService service = RuxStartService(sink, "SB", serviceEvent);
    if (!ready || pipe == INVALID_HANDLE_VALUE || !service)
        return 3;
    HANDLE bare = CreateThread(nullptr, 0, ServeBarePipe, pipe, 0, nullptr);
    SetEvent(ready);

    // Replies go over one lasting connection per source, opened on first use.
    RuxConnection replyConnection = nullptr;
    RuxService replyService = nullptr;
    bool running = true;
    while (running && WaitForSingleObject(serviceEvent, 60000) == WAIT_OBJECT_0) {
        RuxItem call = nullptr;
        for (int32_t kind; (kind = RuxPopCall(service, &call)) != RuxResult_Empty;) {
            if (kind == RuxResult_Query) {
                RuxItem proc = nullptr, cookie = nullptr, source = nullptr, target = nullptr;
                RuxGetAssoc(call, "proc", &proc);
                RuxGetAssoc(call, "cookie", &cookie);
                if (!replyService) {
                    RuxGetAssoc(call, "source", &source);
                    RuxGetAssoc(call, "service", &target);
                    replyConnection = RuxOpenConnection(Text(source).c_str());
                    replyService = RuxOpenService(replyConnection, Text(target).c_str());
                }
                RuxReply(replyService, 0, proc, cookie, proc);
            } else if (kind == RuxResult_Call && Text(call) == "quit") {
                running = false;
            }
        }
    }
    RuxCloseService(replyService);
    RuxCloseConnection(replyConnection);
    RuxStopService(service);
    RuxStopSink(sink);
    RuxExit();
    CloseHandle(pipe);  // ends the bare thread's read
    WaitForSingleObject(bare, 5000);
    return 0;
}

// --- the measuring process --------------------------------------------------

struct Setup {
    std::string ownSink;
    HANDLE serviceEvent;
    RuxService service;   // our started service, where replies arrive
    RuxService remote;    // the other process's service "SB"
    HANDLE pipe;          // the bare pipe's client end
    RuxItem proc;
    RuxItem cookie;
    RuxItem call;
    size_t messageBytes;  // the size of one query frame
};

bool RuxRoundTrip(Setup& s)
{
    if (!RuxQuery(s.remote, 0, s.proc, nullptr, s.cookie, s.ownSink.c_str(), "SB"))
        return false;
    for (;;) {
        RuxItem reply = nullptr;
        int32_t kind = RuxPopCall(s.service, &reply);
        if (kind == RuxResult_Reply)
            return true;
        if (kind == RuxResult_Empty && WaitForSingleObject(s.serviceEvent, 5000) != WAIT_OBJECT_0)
            return false;
    }
}

bool BareRoundTrip(Setup& s, std::string& message)
{
    message[0] = 'p';
    DWORD done = 0;
    char answer[65536];
    return WriteFile(s.pipe, message.data(), static_cast<DWORD>(message.size()), &done, nullptr) &&
           ReadFile(s.pipe, answer, sizeof answer, &done, nullptr) && done == message.size();
}

// The encoded size of a query as RuxQuery sends it (header, then the item).
size_t QueryFrameBytes(const std::string& ownSink)
{
    auto text = [](size_t length) { return 5 + length; };
    return 16 + 5 + text(4) + text(16) + text(7) + text(2) + text(6) + text(ownSink.size()) + text(6) + 5;
}

void Usage()
{
    std::printf(
        "usage: bench_rux [--rounds N] [--round-trips N] [--calls N]\n"
        "  Measures Rux.dll between two processes against a bare message-mode pipe\n"
        "  carrying messages of the same size, and prints one table.\n"
        "  --rounds N       alternating bare/Rux rounds (default 10)\n"
        "  --round-trips N  round trips per round (default 300)\n"
        "  --calls N        one-way messages for the throughput rows (default 20000)\n"
        "  --help           this text\n");
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--serve") == 0)
        return Serve(argv[2], argv[3]);
    int rounds = 10, roundTrips = 300, calls = 20000;
    for (int i = 1; i < argc; ++i) {
        auto number = [&](int& value) {
            if (i + 1 >= argc || (value = std::atoi(argv[++i])) <= 0) {
                std::fprintf(stderr, "bench_rux: %s needs a positive number\n", argv[i - 1]);
                std::exit(2);
            }
        };
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            Usage();
            return 0;
        } else if (!std::strcmp(argv[i], "--rounds"))
            number(rounds);
        else if (!std::strcmp(argv[i], "--round-trips"))
            number(roundTrips);
        else if (!std::strcmp(argv[i], "--calls"))
            number(calls);
        else {
            std::fprintf(stderr, "bench_rux: unknown argument '%s' (see --help)\n", argv[i]);
            return 2;
        }
    }

    DWORD pid = GetCurrentProcessId();
    Setup s = {};
    s.ownSink = "BenchRux." + std::to_string(pid);
    std::string childSink = "BenchRuxServer." + std::to_string(pid);
    std::string pipeName = "\\\\.\\pipe\\BenchRuxBare." + std::to_string(pid);
    RuxInit();
    s.serviceEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    RuxSink sink = RuxStartSink(s.ownSink.c_str(), nullptr);
    s.service = RuxStartService(sink, "SB", s.serviceEvent);

    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(path) + L"\" --serve " + Wide(childSink) + L" " + Wide(pipeName);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    if (!s.service || !CreateProcessW(path, command.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                                      nullptr, &startup, &child)) {
        std::fprintf(stderr, "bench_rux: cannot start the sink or the other process (error %lu)\n", GetLastError());
        return 1;
    }
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, EventName("ready", child.dwProcessId).c_str());
    ResumeThread(child.hThread);
    HANDLE waits[2] = {ready, child.hProcess};
    if (WaitForMultipleObjects(2, waits, FALSE, 20000) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "bench_rux: the other process did not come up\n");
        TerminateProcess(child.hProcess, 1);
        return 1;
    }
    RuxConnection connection = RuxOpenConnection(childSink.c_str());
    s.remote = RuxOpenService(connection, "SB");
    s.pipe = CreateFileW(Wide(pipeName).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!s.remote || s.pipe == INVALID_HANDLE_VALUE || !SetNamedPipeHandleState(s.pipe, &mode, nullptr, nullptr)) {
        std::fprintf(stderr, "bench_rux: cannot connect to the other process\n");
        TerminateProcess(child.hProcess, 1);
        return 1;
    }
    s.proc = RuxBuildItem("s", "RequestSBSetting");
    s.cookie = RuxBuildItem("i", 1);
    s.call = RuxBuildItem("{s:s,s:b}", "proc", "Enable", "arg", 1);
    s.messageBytes = QueryFrameBytes(s.ownSink);
    std::string message(s.messageBytes, 'x');

    std::fprintf(stderr, "bench_rux: %d rounds of %d round trips, %d one-way messages, %zu-byte messages\n", rounds,
                 roundTrips, calls, s.messageBytes);
    // Warm both paths up before anything is counted.
    for (int i = 0; i < 50; ++i) {
        BareRoundTrip(s, message);
        RuxRoundTrip(s);
    }
    std::vector<double> bare, rux, ratios;
    for (int round = 0; round < rounds; ++round) {
        std::vector<double> roundBare, roundRux;
        for (int i = 0; i < roundTrips; ++i) {
            double start = Now();
            if (!BareRoundTrip(s, message)) {
                std::fprintf(stderr, "bench_rux: bare pipe round trip failed\n");
                return 1;
            }
            roundBare.push_back((Now() - start) * 1e6);
        }
        for (int i = 0; i < roundTrips; ++i) {
            double start = Now();
            if (!RuxRoundTrip(s)) {
                std::fprintf(stderr, "bench_rux: Rux query round trip failed\n");
                return 1;
            }
            roundRux.push_back((Now() - start) * 1e6);
        }
        ratios.push_back(Percentile(roundRux, 0.5) / Percentile(roundBare, 0.5));
        bare.insert(bare.end(), roundBare.begin(), roundBare.end());
        rux.insert(rux.end(), roundRux.begin(), roundRux.end());
        std::fprintf(stderr, "bench_rux: round %d of %d done\n", round + 1, rounds);
    }

    // One-way throughput: messages written back to back, then one round trip
    // that can only complete after the receiver has taken all of them.
    double start = Now();
    message[0] = 'o';
    for (int i = 0; i < calls; ++i) {
        DWORD done = 0;
        WriteFile(s.pipe, message.data(), static_cast<DWORD>(message.size()), &done, nullptr);
    }
    BareRoundTrip(s, message);
    double bareRate = calls / (Now() - start);
    start = Now();
    for (int i = 0; i < calls; ++i) {
        if (!RuxCall(s.remote, 0, s.call, 0)) {
            std::fprintf(stderr, "bench_rux: RuxCall failed\n");
            return 1;
        }
    }
    RuxRoundTrip(s);
    double ruxRate = calls / (Now() - start);

    // The plug-in's pattern: a fresh connection for every status push.
    std::vector<double> fresh;
    RuxItem status = RuxBuildItem("{s:i}", "Status", 1);
    std::vector<double> stepOpen, stepService, stepSend, stepClose;
    for (int i = 0; i < 200; ++i) {
        double t = Now();
        RuxConnection c = RuxOpenConnection(childSink.c_str());
        double t1 = Now();
        RuxService svc = RuxOpenService(c, "SB");
        double t2 = Now();
        RuxUpdate(svc, 0, status);
        double t3 = Now();
        RuxCloseService(svc);
        RuxCloseConnection(c);
        double t4 = Now();
        fresh.push_back((t4 - t) * 1e6);
        stepOpen.push_back((t1 - t) * 1e6);
        stepService.push_back((t2 - t1) * 1e6);
        stepSend.push_back((t3 - t2) * 1e6);
        stepClose.push_back((t4 - t3) * 1e6);
    }
    std::fprintf(stderr, "bench_rux: fresh connection steps p50: open %.1f us, service %.1f us, send %.1f us, close %.1f us\n",
                 Percentile(stepOpen, 0.5), Percentile(stepService, 0.5), Percentile(stepSend, 0.5),
                 Percentile(stepClose, 0.5));

    std::printf("%-44s %12s %12s %8s\n", "case", "bare pipe", "Rux.dll", "ratio");
    std::printf("%-44s %9.1f us %9.1f us %8.2f\n", "query round trip p50", Percentile(bare, 0.5),
                Percentile(rux, 0.5), Percentile(rux, 0.5) / Percentile(bare, 0.5));
    std::printf("%-44s %9.1f us %9.1f us %8.2f\n", "query round trip p99", Percentile(bare, 0.99),
                Percentile(rux, 0.99), Percentile(rux, 0.99) / Percentile(bare, 0.99));
    std::printf("%-44s %12s %12s %8.2f\n", "round trip p50 ratio, median of rounds", "", "",
                Percentile(ratios, 0.5));
    std::printf("%-44s %10.0f/s %10.0f/s %8.2f\n", "one-way messages per second", bareRate, ruxRate,
                ruxRate / bareRate);
    std::printf("%-44s %12s %9.1f us\n", "open+service+update+close (p50)", "", Percentile(fresh, 0.5));
    std::printf("(%zu-byte messages; target: round trip p50 within 1.30x of the bare pipe)\n", s.messageBytes);
    std::fflush(stdout);

    RuxItem quit = RuxBuildItem("s", "quit");
    RuxCall(s.remote, 0, quit, 0);
    RuxCloseService(s.remote);
    RuxCloseConnection(connection);
    CloseHandle(s.pipe);
    WaitForSingleObject(child.hProcess, 10000);
    for (RuxItem item : {s.proc, s.cookie, s.call, status, quit})
        RuxReleaseItem(item);
    RuxStopService(s.service);
    RuxStopSink(sink);
    RuxExit();
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    CloseHandle(ready);
    return 0;
}
