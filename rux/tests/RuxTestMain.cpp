// The test executable's entry: the tests, or, with `--child ROLE ...`, the
// other process of a two-process test.
//   --child echo OWN_SINK PARENT_SINK
//       starts OWN_SINK with service "SB", opens its peer to PARENT_SINK, and
//       answers every query (the reply carries the query's "arg") and sends
//       every call, advise and update back to PARENT_SINK/"SB" as the same kind,
//       each on a fresh connection closed at once. A call "quit" ends it.
//   --child hold SINK
//       starts SINK and keeps it until told to quit (exit code 2: name taken).
//   --child idle SINK COUNT
//       opens COUNT connections to SINK that never send a byte, then waits
//       for the sink to close every one; exit code: how many it did not.
//   --child call SINK TEXT
//       sends TEXT as a call to SINK/"SB" (exit code 0 when sent).
#include "rux/tests/RuxTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace ruxtest;

HANDLE ChildEvent(const std::wstring& name)
{
    return OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, name.c_str());
}

std::string Text(RuxItem item)
{
    char buffer[256] = {};
    RuxCopyStr(item, buffer, 0, sizeof buffer);
    return buffer;
}

bool SendBack(const char* sink, int32_t kind, RuxItem item)
{
    RuxConnection connection = RuxOpenConnection(sink);
    RuxService service = RuxOpenService(connection, "SB");
    int32_t sent = 0;
    if (kind == RuxResult_Call)
        sent = RuxCall(service, 0, item, 0);
    else if (kind == RuxResult_Advise)
        sent = RuxAdvise(service, 0, item);
    else if (kind == RuxResult_Update)
        sent = RuxUpdate(service, 0, item);
    RuxCloseService(service);
    RuxCloseConnection(connection);
    return sent != 0;
}

void Answer(RuxItem query)
{
    RuxItem proc = nullptr, cookie = nullptr, source = nullptr, service = nullptr, arg = nullptr;
    RuxGetAssoc(query, "proc", &proc);
    RuxGetAssoc(query, "cookie", &cookie);
    RuxGetAssoc(query, "source", &source);
    RuxGetAssoc(query, "service", &service);
    RuxGetAssoc(query, "arg", &arg);
    RuxConnection connection = RuxOpenConnection(Text(source).c_str());
    RuxService reply = RuxOpenService(connection, Text(service).c_str());
    RuxReply(reply, 0, proc, cookie, arg ? arg : proc);
    RuxCloseService(reply);
    RuxCloseConnection(connection);
    RuxReleaseItem(arg);
}

int RunEcho(const char* ownSink, const char* parentSink, HANDLE ready, HANDLE quit)
{
    RuxInit();
    HANDLE sinkEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE serviceEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    RuxSink sink = RuxStartSink(ownSink, sinkEvent);
    RuxService service = RuxStartService(sink, "SB", serviceEvent);
    RuxConnection peer = RuxOpenPeer(sink, parentSink);
    if (!sink || !service || !peer)
        return 3;
    SetEvent(ready);
    bool running = true;
    while (running) {
        HANDLE waits[2] = {serviceEvent, quit};
        if (WaitForMultipleObjects(2, waits, FALSE, 30000) != WAIT_OBJECT_0)
            break;
        RuxItem call = nullptr;
        for (int32_t kind; (kind = RuxPopCall(service, &call)) != RuxResult_Empty;) {
            if (kind == RuxResult_Query)
                Answer(call);
            else if (kind == RuxResult_Call && Text(call) == "quit")
                running = false;
            else
                SendBack(parentSink, kind, call);
        }
    }
    RuxCloseConnection(peer);
    RuxStopService(service);
    RuxStopSink(sink);
    RuxExit();
    CloseHandle(sinkEvent);
    CloseHandle(serviceEvent);
    return 0;
}

int RunHold(const char* name, HANDLE ready, HANDLE quit)
{
    RuxInit();
    RuxSink sink = RuxStartSink(name, nullptr);
    if (!sink)
        return 2;
    SetEvent(ready);
    WaitForSingleObject(quit, 30000);
    RuxStopSink(sink);
    RuxExit();
    return 0;
}

int RunIdle(const char* sink, int count, HANDLE ready)
{
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < count; ++i)
        clients.push_back(std::make_unique<RawClient>(sink));
    SetEvent(ready);
    int open = 0;
    for (auto& client : clients)
        open += client->Open() && !client->ClosedBySink(30000);
    return open;
}

int RunCall(const char* sink, const char* text)
{
    RuxInit();
    RuxConnection connection = RuxOpenConnection(sink);
    RuxService service = RuxOpenService(connection, "SB");
    RuxItem item = RuxBuildItem("s", text);
    bool sent = RuxCall(service, 0, item, 0) != 0;
    RuxReleaseItem(item);
    RuxCloseService(service);
    RuxCloseConnection(connection);
    RuxExit();
    return sent ? 0 : 1;
}

int RunChild(int argc, char** argv)
{
    HANDLE ready = ChildEvent(ChildProcess::ReadyEventName(GetCurrentProcessId()));
    HANDLE quit = ChildEvent(ChildProcess::QuitEventName(GetCurrentProcessId()));
    if (!ready || !quit)
        return 4;
    std::string role = argv[2];
    if (role == "echo" && argc == 5)
        return RunEcho(argv[3], argv[4], ready, quit);
    if (role == "hold" && argc == 4)
        return RunHold(argv[3], ready, quit);
    if (role == "idle" && argc == 5)
        return RunIdle(argv[3], std::atoi(argv[4]), ready);
    if (role == "call" && argc == 5)
        return RunCall(argv[3], argv[4]);
    return 5;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 3 && std::strcmp(argv[1], "--child") == 0)
        return RunChild(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
