// The other process of a two-process test (ChildProcess in RuxTestSupport.h),
// each scenario after the tag that names its ready and quit events:
//   Echo OWN_SINK PARENT_SINK
//       starts OWN_SINK with service "SB", opens its peer to PARENT_SINK, and
//       answers every query (the reply carries the query's "arg") and sends
//       every call, advise and update back to PARENT_SINK/"SB" as the same kind,
//       each on a fresh connection closed at once. A call "quit" ends it.
//   Hold SINK
//       starts SINK and keeps it until told to quit (exit code 2: name taken).
//   Idle SINK COUNT
//       opens COUNT connections to SINK that never send a byte, then waits
//       for the sink to close every one; exit code: how many it did not.
//   Call SINK TEXT
//       sends TEXT as a call to SINK/"SB" (exit code 0 when sent).
//   Greeted SINK COUNT
//       opens COUNT connections to SINK one after the other, each greeted with
//       a Hello, and holds them idle until told to quit; exit code: 100 x the
//       Hellos answered + how many of those the sink had closed by then.
// Exit code 4: the events are missing; 5: the wrong number of arguments.
#include "rux/tests/RuxTestSupport.h"

#include "tests/support/ChildScenario.h"

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace ruxtest;
using testsupport::ChildArgs;
using testsupport::Narrow;

// The events of this child, named by the tag its parent gave first.
class ChildEvents {
public:
    explicit ChildEvents(const std::wstring& tag)
        : ready(Open(ChildProcess::EventName(L"Ready", tag))), quit(Open(ChildProcess::EventName(L"Quit", tag)))
    {
    }

    UniqueEvent ready;
    UniqueEvent quit;

private:
    static HANDLE Open(const std::wstring& name)
    {
        return OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, name.c_str());
    }
};

// Runs `role` with the arguments after the tag, once both events are open.
template <typename Role>
int RunRole(const ChildArgs& args, size_t count, Role role)
{
    if (args.size() != count + 1)
        return 5;
    ChildEvents events(args[0]);
    if (!events.ready.valid() || !events.quit.valid())
        return 4;
    std::vector<std::string> narrow;
    for (size_t i = 1; i < args.size(); ++i)
        narrow.push_back(Narrow(args[i]));
    return role(narrow, events.ready.get(), events.quit.get());
}

std::string Text(RuxItem item)
{
    char buffer[256] = {};
    RuxCopyStr(item, buffer, 0, sizeof buffer);
    return buffer;
}

void Answer(RuxItem query)
{
    RuxItem proc = nullptr, cookie = nullptr, source = nullptr, service = nullptr, arg = nullptr;
    RuxGetAssoc(query, "proc", &proc);
    RuxGetAssoc(query, "cookie", &cookie);
    RuxGetAssoc(query, "source", &source);
    RuxGetAssoc(query, "service", &service);
    RuxGetAssoc(query, "arg", &arg);
    SendOnce(Text(source), [&](RuxService reply) { return RuxReply(reply, 0, proc, cookie, arg ? arg : proc); },
             nullptr, Text(service).c_str());
    RuxReleaseItem(arg);
}

int RunEcho(const char* ownSink, const char* parentSink, HANDLE ready, HANDLE quit)
{
    LibraryUse use;
    ServedSink served(ownSink);
    auto [serviceEvent, sink, service] = served.Handles();
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
                SendOnce(parentSink, [&](RuxService remote) { return SendAs(remote, kind, call); });
        }
    }
    RuxCloseConnection(peer);
    return 0;
}

int RunHold(const char* name, HANDLE ready, HANDLE quit)
{
    LibraryUse use;
    OwnedSink sink(RuxStartSink(name, nullptr));
    if (!sink.valid())
        return 2;
    SetEvent(ready);
    WaitForSingleObject(quit, 30000);
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

int RunGreeted(const char* sink, int count, HANDLE ready, HANDLE quit)
{
    std::vector<std::unique_ptr<RawClient>> answered;
    for (int i = 0; i < count; ++i) {
        auto client = std::make_unique<RawClient>(sink);
        if (client->Open() && client->Hello())
            answered.push_back(std::move(client));
    }
    SetEvent(ready);
    WaitForSingleObject(quit, 60000);
    int closed = 0;
    for (auto& client : answered)
        closed += client->ClosedBySink(0);
    return static_cast<int>(answered.size()) * 100 + closed;
}

int RunCall(const char* sink, const char* text)
{
    LibraryUse use;
    return CallOnce(sink, text) ? 0 : 1;
}

}  // namespace

OLV_CHILD_SCENARIO(Echo)
{
    return RunRole(args, 2, [](const std::vector<std::string>& sinks, HANDLE ready, HANDLE quit) {
        return RunEcho(sinks[0].c_str(), sinks[1].c_str(), ready, quit);
    });
}

OLV_CHILD_SCENARIO(Hold)
{
    return RunRole(args, 1, [](const std::vector<std::string>& sink, HANDLE ready, HANDLE quit) {
        return RunHold(sink[0].c_str(), ready, quit);
    });
}

OLV_CHILD_SCENARIO(Idle)
{
    return RunRole(args, 2, [](const std::vector<std::string>& given, HANDLE ready, HANDLE) {
        return RunIdle(given[0].c_str(), std::atoi(given[1].c_str()), ready);
    });
}

OLV_CHILD_SCENARIO(Greeted)
{
    return RunRole(args, 2, [](const std::vector<std::string>& given, HANDLE ready, HANDLE quit) {
        return RunGreeted(given[0].c_str(), std::atoi(given[1].c_str()), ready, quit);
    });
}

OLV_CHILD_SCENARIO(Call)
{
    return RunRole(args, 2, [](const std::vector<std::string>& given, HANDLE, HANDLE) {
        return RunCall(given[0].c_str(), given[1].c_str());
    });
}
