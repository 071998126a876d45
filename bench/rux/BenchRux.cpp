// Messaging between two processes through Rux.dll, against a bare message-mode
// pipe moving messages of the same size: query round trip (p50, p99), one-way
// calls per second, and a fresh connection for one message (open, service,
// send, close), as the plug-in makes one for every push. The same executable,
// started with --serve, is the other process. Within a round the kinds of
// round trip take turns in short runs, so that a neighbour's load on the
// machine falls on all of them alike.
//
// A Rux message is read by a sink's worker thread and handed to the
// application's thread through its event; a bare pipe's reader answers itself.
// The reference rows take that apart: the bare pipe with overlapped I/O (as
// Rux does its I/O), and the bare pipe whose reading thread queues each
// message and sets an event that a second thread waits on before it answers,
// at the server only and at both ends (as a Rux query and its reply take it:
// the floor of Rux's design).
#include "bench/common/BenchArguments.h"
#include "bench/common/BenchTiming.h"
#include "contracts/RuxExtensions.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr char UsageText[] =
    "usage: bench_rux [--rounds N] [--round-trips N] [--calls N] [--fresh N]\n"
    "  Measures Rux.dll between two processes against a bare message-mode pipe\n"
    "  carrying messages of the same size, and prints two tables.\n"
    "  --rounds N       rounds of round trips, every kind in turn (default 10)\n"
    "  --round-trips N  round trips of each kind per round (default 300)\n"
    "  --calls N        one-way messages for the throughput row (default 20000)\n"
    "  --fresh N        fresh connections for the open+service+update+close rows (default 300)\n"
    "  --help           this text\n";

constexpr DWORD PipeBytes = 64 * 1024;
// Round trips of one kind in a row, and those before them that are not counted.
constexpr int RunLength = 30;
constexpr int RunLead = 3;

std::wstring Wide(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

std::wstring EventName(const char* what, DWORD pid)
{
    return L"Local\\BenchRux." + Wide(what) + L"." + std::to_wstring(pid);
}

HANDLE CreateServerPipe(const std::wstring& name, DWORD flags, DWORD instances)
{
    return CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | flags,
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, instances, PipeBytes, PipeBytes, 0,
                            nullptr);
}

HANDLE OpenClientPipe(const std::wstring& name, DWORD flags)
{
    HANDLE pipe = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (pipe != INVALID_HANDLE_VALUE && !SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr)) {
        CloseHandle(pipe);
        return INVALID_HANDLE_VALUE;
    }
    return pipe;
}

// Waits for one overlapped operation on `pipe`; false when it failed.
bool Finish(HANDLE pipe, OVERLAPPED& overlapped, BOOL started, DWORD& bytes)
{
    if (!started && GetLastError() != ERROR_IO_PENDING)
        return false;
    return GetOverlappedResult(pipe, &overlapped, &bytes, TRUE) != FALSE;
}

bool WriteOverlapped(HANDLE pipe, HANDLE event, const void* data, DWORD size)
{
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event;
    DWORD bytes = 0;
    return Finish(pipe, overlapped, WriteFile(pipe, data, size, nullptr, &overlapped), bytes) && bytes == size;
}

bool ReadOverlapped(HANDLE pipe, HANDLE event, std::vector<char>& buffer, DWORD& bytes)
{
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event;
    return Finish(pipe, overlapped,
                  ReadFile(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, &overlapped), bytes);
}

bool ConnectOverlapped(HANDLE pipe, HANDLE event)
{
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event;
    DWORD bytes = 0;
    return Finish(pipe, overlapped, ConnectNamedPipe(pipe, &overlapped), bytes) ||
           GetLastError() == ERROR_PIPE_CONNECTED;
}

// --- the other process ------------------------------------------------------

// Echoes every message of the bare pipe whose first byte is 'p'; 'o' messages
// are only read.
DWORD WINAPI ServeBarePipe(void* parameter)
{
    HANDLE pipe = static_cast<HANDLE>(parameter);
    if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED)
        return 1;
    std::vector<char> buffer(PipeBytes);
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

// The same echo with overlapped reads and writes on one thread.
DWORD WINAPI ServeOverlappedPipe(void* parameter)
{
    HANDLE pipe = static_cast<HANDLE>(parameter);
    HANDLE readEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE writeEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<char> buffer(PipeBytes);
    if (ConnectOverlapped(pipe, readEvent)) {
        for (DWORD bytes = 0; ReadOverlapped(pipe, readEvent, buffer, bytes);) {
            if (bytes && buffer[0] == 'p' && !WriteOverlapped(pipe, writeEvent, buffer.data(), bytes))
                break;
        }
    }
    CloseHandle(readEvent);
    CloseHandle(writeEvent);
    return 0;
}

// A bare pipe that takes a fresh connection for each message, as a sink
// does: each instance listens, answers its client's first message, reads the
// rest until the client closes, then listens again. Ends at `stop`.
struct FreshInstance {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    HANDLE stop = nullptr;
};

DWORD WINAPI ServeFreshConnections(void* parameter)
{
    auto* instance = static_cast<FreshInstance*>(parameter);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<char> buffer(PipeBytes);
    for (;;) {
        OVERLAPPED overlapped = {};
        overlapped.hEvent = event;
        DWORD bytes = 0;
        if (!ConnectNamedPipe(instance->pipe, &overlapped) && GetLastError() == ERROR_IO_PENDING) {
            HANDLE waits[2] = {event, instance->stop};
            if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
                CancelIoEx(instance->pipe, &overlapped);
                GetOverlappedResult(instance->pipe, &overlapped, &bytes, TRUE);
                break;
            }
        }
        if (ReadOverlapped(instance->pipe, event, buffer, bytes) &&
            WriteOverlapped(instance->pipe, event, buffer.data(), 24)) {
            while (ReadOverlapped(instance->pipe, event, buffer, bytes)) {
            }
        }
        DisconnectNamedPipe(instance->pipe);
    }
    CloseHandle(event);
    return 0;
}

// One instance of the hand-off pipe: a reading thread queues every message and
// sets `handedOver`; the answering thread, woken by it, drains the queue and
// echoes each message.
struct HandoffInstance {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    HANDLE handedOver = nullptr;
    CRITICAL_SECTION lock;
    std::deque<std::string> queue;
    bool ended = false;
};

DWORD WINAPI HandoffRead(void* parameter)
{
    auto* instance = static_cast<HandoffInstance*>(parameter);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<char> buffer(PipeBytes);
    if (ConnectOverlapped(instance->pipe, event)) {
        for (DWORD bytes = 0; ReadOverlapped(instance->pipe, event, buffer, bytes);) {
            EnterCriticalSection(&instance->lock);
            instance->queue.emplace_back(buffer.data(), bytes);
            LeaveCriticalSection(&instance->lock);
            SetEvent(instance->handedOver);
        }
    }
    EnterCriticalSection(&instance->lock);
    instance->ended = true;
    LeaveCriticalSection(&instance->lock);
    SetEvent(instance->handedOver);
    CloseHandle(event);
    return 0;
}

DWORD WINAPI HandoffAnswer(void* parameter)
{
    auto* instance = static_cast<HandoffInstance*>(parameter);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    for (bool ended = false; !ended && WaitForSingleObject(instance->handedOver, INFINITE) == WAIT_OBJECT_0;) {
        for (;;) {
            std::string message;
            EnterCriticalSection(&instance->lock);
            ended = instance->ended;
            bool any = !instance->queue.empty();
            if (any) {
                message = std::move(instance->queue.front());
                instance->queue.pop_front();
            }
            LeaveCriticalSection(&instance->lock);
            if (!any)
                break;
            WriteOverlapped(instance->pipe, event, message.data(), static_cast<DWORD>(message.size()));
        }
    }
    CloseHandle(event);
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
    HANDLE pipe = CreateServerPipe(Wide(pipeName), 0, 1);
    HANDLE overlappedPipe = CreateServerPipe(Wide(pipeName) + L".overlapped", FILE_FLAG_OVERLAPPED, 1);
    HandoffInstance handoff[2];
    std::vector<HANDLE> threads;
    for (HandoffInstance& instance : handoff) {
        instance.pipe = CreateServerPipe(Wide(pipeName) + L".handoff", FILE_FLAG_OVERLAPPED, 2);
        instance.handedOver = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        InitializeCriticalSection(&instance.lock);
        if (instance.pipe == INVALID_HANDLE_VALUE)
            return 3;
        threads.push_back(CreateThread(nullptr, 0, HandoffRead, &instance, 0, nullptr));
        threads.push_back(CreateThread(nullptr, 0, HandoffAnswer, &instance, 0, nullptr));
    }
    RuxInit();
    HANDLE serviceEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    RuxSink sink = RuxStartSink(ownSink, nullptr);
    RuxService service = RuxStartService(sink, "SB", serviceEvent);
    if (!ready || pipe == INVALID_HANDLE_VALUE || overlappedPipe == INVALID_HANDLE_VALUE || !service)
        return 3;
    threads.push_back(CreateThread(nullptr, 0, ServeOverlappedPipe, overlappedPipe, 0, nullptr));
    FreshInstance fresh[4];
    HANDLE stopFresh = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    for (FreshInstance& instance : fresh) {
        instance.pipe = CreateServerPipe(Wide(pipeName) + L".fresh", FILE_FLAG_OVERLAPPED, 4);
        instance.stop = stopFresh;
        if (instance.pipe == INVALID_HANDLE_VALUE)
            return 3;
        threads.push_back(CreateThread(nullptr, 0, ServeFreshConnections, &instance, 0, nullptr));
    }
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
    SetEvent(stopFresh);
    // The other threads end when the measuring process closes its ends.
    WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, 5000);
    return 0;
}

// --- the measuring process --------------------------------------------------

struct Setup {
    std::string ownSink;
    HANDLE serviceEvent;
    RuxService service;     // our started service, where replies arrive
    RuxService remote;      // the other process's service "SB"
    HANDLE pipe;            // the bare pipe's client end
    HANDLE overlapped;      // the overlapped bare pipe's client end, with its events
    HANDLE overlappedWrite;
    HANDLE overlappedRead;
    HANDLE handoffServer;   // hand-off pipe, answered through a hand-off at the server
    HANDLE handoffBoth;     // the same, and read here by a thread that hands over too
    HANDLE handoffWrite;    // for the overlapped writes on handoffBoth
    HANDLE replyArrived;    // set by that reading thread
    std::vector<char> answer;
    RuxItem proc;
    RuxItem cookie;
    RuxItem call;
    size_t messageBytes;    // the size of one query frame
};

bool RuxRoundTrip(Setup& s, std::string&)
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

bool SyncRoundTrip(HANDLE pipe, std::string& message, std::vector<char>& answer)
{
    message[0] = 'p';
    DWORD done = 0;
    return WriteFile(pipe, message.data(), static_cast<DWORD>(message.size()), &done, nullptr) &&
           ReadFile(pipe, answer.data(), static_cast<DWORD>(answer.size()), &done, nullptr) &&
           done == message.size();
}

bool BareRoundTrip(Setup& s, std::string& message)
{
    return SyncRoundTrip(s.pipe, message, s.answer);
}

bool OverlappedRoundTrip(Setup& s, std::string& message)
{
    message[0] = 'p';
    DWORD done = 0;
    return WriteOverlapped(s.overlapped, s.overlappedWrite, message.data(), static_cast<DWORD>(message.size())) &&
           ReadOverlapped(s.overlapped, s.overlappedRead, s.answer, done) && done == message.size();
}

bool HandoffServerRoundTrip(Setup& s, std::string& message)
{
    return SyncRoundTrip(s.handoffServer, message, s.answer);
}

// Reads the answers of handoffBoth and sets replyArrived for each, as a sink's
// worker reads a reply and sets the application's event.
DWORD WINAPI ReadReplies(void* parameter)
{
    auto* s = static_cast<Setup*>(parameter);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<char> buffer(PipeBytes);
    for (DWORD bytes = 0; ReadOverlapped(s->handoffBoth, event, buffer, bytes);)
        SetEvent(s->replyArrived);
    CloseHandle(event);
    return 0;
}

bool HandoffBothRoundTrip(Setup& s, std::string& message)
{
    message[0] = 'p';
    return WriteOverlapped(s.handoffBoth, s.handoffWrite, message.data(), static_cast<DWORD>(message.size())) &&
           WaitForSingleObject(s.replyArrived, 5000) == WAIT_OBJECT_0;
}

// A fresh connection to the bare pipe with one exchange and one message, as a
// Rux fresh connection makes them (without its checks of who is at the other
// end): connect, a request and its 24-byte answer, a message, close.
bool BareFreshConnection(Setup& s, const std::wstring& name, std::string& message)
{
    HANDLE pipe = INVALID_HANDLE_VALUE;
    for (int tries = 0; pipe == INVALID_HANDLE_VALUE && tries < 100; ++tries) {
        pipe = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
        if (pipe == INVALID_HANDLE_VALUE && (GetLastError() != ERROR_PIPE_BUSY || !WaitNamedPipeW(name.c_str(), 5000)))
            return false;
    }
    message[0] = 'p';
    DWORD done = 0;
    std::vector<char> answer(24);
    bool ok = WriteOverlapped(pipe, s.overlappedWrite, message.data(), 40) &&
              ReadOverlapped(pipe, s.overlappedRead, answer, done) && done == 24 &&
              WriteOverlapped(pipe, s.overlappedWrite, message.data(), static_cast<DWORD>(message.size()));
    CloseHandle(pipe);
    return ok;
}

// The encoded size of a query as RuxQuery sends it (header, then the item).
size_t QueryFrameBytes(const std::string& ownSink)
{
    auto text = [](size_t length) { return 5 + length; };
    return 16 + 5 + text(4) + text(16) + text(7) + text(2) + text(6) + text(ownSink.size()) + text(6) + 5;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--serve") == 0)
        return Serve(argv[2], argv[3]);
    int rounds = 10, roundTrips = 300, calls = 20000, freshCount = 300;
    BenchArguments arguments("bench_rux", UsageText);
    arguments.Count("--rounds", rounds).Count("--round-trips", roundTrips).Count("--calls", calls);
    arguments.Count("--fresh", freshCount);
    if (std::optional<int> exit = arguments.Read(argc, argv))
        return *exit;

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
    s.pipe = OpenClientPipe(Wide(pipeName), 0);
    s.overlapped = OpenClientPipe(Wide(pipeName) + L".overlapped", FILE_FLAG_OVERLAPPED);
    s.handoffServer = OpenClientPipe(Wide(pipeName) + L".handoff", 0);
    s.handoffBoth = OpenClientPipe(Wide(pipeName) + L".handoff", FILE_FLAG_OVERLAPPED);
    s.overlappedWrite = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    s.overlappedRead = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    s.handoffWrite = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    s.replyArrived = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    s.answer.resize(PipeBytes);
    if (!s.remote || s.pipe == INVALID_HANDLE_VALUE || s.overlapped == INVALID_HANDLE_VALUE ||
        s.handoffServer == INVALID_HANDLE_VALUE || s.handoffBoth == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "bench_rux: cannot connect to the other process\n");
        TerminateProcess(child.hProcess, 1);
        return 1;
    }
    HANDLE replyReader = CreateThread(nullptr, 0, ReadReplies, &s, 0, nullptr);
    s.proc = RuxBuildItem("s", "RequestSBSetting");
    s.cookie = RuxBuildItem("i", 1);
    s.call = RuxBuildItem("{s:s,s:b}", "proc", "Enable", "arg", 1);
    s.messageBytes = QueryFrameBytes(s.ownSink);
    std::string message(s.messageBytes, 'x');

    std::fprintf(stderr, "bench_rux: %d rounds of %d round trips, %d one-way messages, %zu-byte messages\n", rounds,
                 roundTrips, calls, s.messageBytes);
    struct Kind {
        const char* name;
        bool (*roundTrip)(Setup&, std::string&);
        std::vector<double> all;   // every sample of every round
        std::vector<double> p50s;  // each round's p50 ...
        std::vector<double> p99s;  // ... and p99
        std::vector<double> round;
    };
    Kind kinds[] = {
        {"bare pipe", BareRoundTrip, {}, {}, {}, {}},
        {"bare pipe, overlapped I/O", OverlappedRoundTrip, {}, {}, {}, {}},
        {"bare pipe, hand-off at the server", HandoffServerRoundTrip, {}, {}, {}, {}},
        {"bare pipe, hand-off at both ends", HandoffBothRoundTrip, {}, {}, {}, {}},
        {"Rux.dll", RuxRoundTrip, {}, {}, {}, {}},
    };
    const Kind& bare = kinds[0];
    const Kind& floor = kinds[3];
    const Kind& rux = kinds[4];
    // Warm every path up before anything is counted.
    for (int i = 0; i < 50; ++i) {
        for (Kind& kind : kinds)
            kind.roundTrip(s, message);
    }
    for (int round = 0; round < rounds; ++round) {
        // Short runs of each kind in turn; a run's first round trips are not
        // counted, as the previous kind's threads may still be finishing.
        for (int done = 0; done < roundTrips; done += RunLength) {
            for (Kind& kind : kinds) {
                for (int i = -RunLead; i < RunLength && done + i < roundTrips; ++i) {
                    double start = Now();
                    if (!kind.roundTrip(s, message)) {
                        std::fprintf(stderr, "bench_rux: %s round trip failed\n", kind.name);
                        return 1;
                    }
                    if (i >= 0)
                        kind.round.push_back((Now() - start) * 1e6);
                }
            }
        }
        for (Kind& kind : kinds) {
            kind.p50s.push_back(Percentile(kind.round, 0.5));
            kind.p99s.push_back(Percentile(kind.round, 0.99));
            kind.all.insert(kind.all.end(), kind.round.begin(), kind.round.end());
            kind.round.clear();
        }
        std::fprintf(stderr, "bench_rux: round %d of %d done\n", round + 1, rounds);
    }
    // The median over rounds of a round's ratio of `of` to `to`.
    auto roundRatio = [rounds](const std::vector<double>& of, const std::vector<double>& to) {
        std::vector<double> ratios;
        for (int round = 0; round < rounds; ++round)
            ratios.push_back(of[round] / to[round]);
        return Median(ratios);
    };

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
    RuxRoundTrip(s, message);
    double ruxRate = calls / (Now() - start);

    // The plug-in's pattern: a fresh connection for every status push, and
    // the same on the bare pipe, in turns.
    RuxItem status = RuxBuildItem("{s:i}", "Status", 1);
    std::vector<double> fresh, stepOpen, stepService, stepSend, stepClose, bareFresh;
    std::wstring freshName = Wide(pipeName) + L".fresh";
    for (int i = 0; i < freshCount; ++i) {
        if (i % RunLength == 0) {
            for (int k = -RunLead; k < RunLength; ++k) {
                double start = Now();
                if (!BareFreshConnection(s, freshName, message)) {
                    std::fprintf(stderr, "bench_rux: a fresh bare connection failed\n");
                    return 1;
                }
                if (k >= 0)
                    bareFresh.push_back((Now() - start) * 1e6);
            }
        }
        double t0 = Now();
        RuxConnection c = RuxOpenConnection(childSink.c_str());
        double t1 = Now();
        RuxService svc = RuxOpenService(c, "SB");
        double t2 = Now();
        int32_t sent = RuxUpdate(svc, 0, status);
        double t3 = Now();
        RuxCloseService(svc);
        RuxCloseConnection(c);
        double t4 = Now();
        if (!sent) {
            std::fprintf(stderr, "bench_rux: a fresh connection failed\n");
            return 1;
        }
        fresh.push_back((t4 - t0) * 1e6);
        stepOpen.push_back((t1 - t0) * 1e6);
        stepService.push_back((t2 - t1) * 1e6);
        stepSend.push_back((t3 - t2) * 1e6);
        stepClose.push_back((t4 - t3) * 1e6);
    }
    RuxItem quit = RuxBuildItem("s", "quit");

    std::printf("%-44s %12s %12s %9s\n", "round trip", "p50", "p99", "p50 ratio");
    for (const Kind& kind : kinds)
        std::printf("%-44s %9.1f us %9.1f us %9.2f\n", kind.name, Percentile(kind.all, 0.5),
                    Percentile(kind.all, 0.99), Percentile(kind.all, 0.5) / Percentile(bare.all, 0.5));
    std::printf("%-44s %12s %12s %9.2f\n", "Rux / bare, p50, median of rounds", "", "",
                roundRatio(rux.p50s, bare.p50s));
    std::printf("%-44s %12s %12s %9.2f\n", "Rux / bare, p99, median of rounds", "", "",
                roundRatio(rux.p99s, bare.p99s));
    std::printf("%-44s %12s %12s %9.2f\n", "Rux / hand-off at both ends, p50, median", "", "",
                roundRatio(rux.p50s, floor.p50s));
    std::printf("%-44s %12s %12s %9.2f\n", "Rux / hand-off at both ends, p99, median", "", "",
                roundRatio(rux.p99s, floor.p99s));
    std::printf("%-44s %12s %12s %9.2f\n", "hand-off at both ends / bare, p50, median", "", "",
                roundRatio(floor.p50s, bare.p50s));

    double bareP50 = Percentile(bare.all, 0.5);
    std::printf("\n%-44s %12s %12s %9s\n", "fresh connection, one message", "p50", "p99", "/ bare p50");
    struct Step {
        const char* name;
        const std::vector<double>& samples;
    } steps[] = {
        {"open+service+update+close", fresh},
        {"  RuxOpenConnection", stepOpen},
        {"  RuxOpenService", stepService},
        {"  RuxUpdate", stepSend},
        {"  RuxCloseService+RuxCloseConnection", stepClose},
        {"bare pipe: connect, exchange, message, close", bareFresh},
    };
    for (const Step& step : steps)
        std::printf("%-44s %9.1f us %9.1f us %9.2f\n", step.name, Percentile(step.samples, 0.5),
                    Percentile(step.samples, 0.99), Percentile(step.samples, 0.5) / bareP50);
    std::printf("%-44s %12s %12s %9.2f\n", "Rux / bare pipe, fresh connection, p50", "", "",
                Percentile(fresh, 0.5) / Percentile(bareFresh, 0.5));
    std::printf("\n%-44s %12s %12s %9s\n", "one-way messages", "bare pipe", "Rux.dll", "ratio");
    std::printf("%-44s %10.0f/s %10.0f/s %9.2f\n", "messages per second", bareRate, ruxRate, ruxRate / bareRate);
    std::printf("(%zu-byte messages; targets: Rux / bare p50 within 1.30x and p99 within 1.50x, or within\n"
                " 1.10x of the hand-off at both ends; a fresh connection within 2x the bare p50)\n",
                s.messageBytes);
    std::fflush(stdout);

    RuxCall(s.remote, 0, quit, 0);
    RuxCloseService(s.remote);
    RuxCloseConnection(connection);
    CloseHandle(s.pipe);
    CloseHandle(s.overlapped);
    CloseHandle(s.handoffServer);
    CloseHandle(s.handoffBoth);
    WaitForSingleObject(replyReader, 5000);
    WaitForSingleObject(child.hProcess, 10000);
    for (RuxItem item : {s.proc, s.cookie, s.call, status, quit})
        RuxReleaseItem(item);
    RuxStopService(s.service);
    RuxStopSink(sink);
    RuxExit();
    for (HANDLE handle : {s.overlappedWrite, s.overlappedRead, s.handoffWrite, s.replyArrived, replyReader,
                          child.hProcess, child.hThread, ready})
        CloseHandle(handle);
    return 0;
}
