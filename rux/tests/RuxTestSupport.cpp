#include "rux/tests/RuxTestSupport.h"

#include "tests/support/ChildScenario.h"

#include <psapi.h>

#include <atomic>

namespace ruxtest {

std::wstring ChildProcess::EventName(const wchar_t* what, const std::wstring& tag)
{
    return L"Local\\RuxTest." + std::wstring(what) + L"." + tag;
}

ChildProcess::ChildProcess(const std::vector<std::string>& args)
{
    static std::atomic<int> counter{0};
    tag_ = std::to_wstring(GetCurrentProcessId()) + L"." + std::to_wstring(++counter);
    // Both events exist before the child looks for them.
    ready_.reset(CreateEventW(nullptr, TRUE, FALSE, EventName(L"Ready", tag_).c_str()));
    quit_.reset(CreateEventW(nullptr, TRUE, FALSE, EventName(L"Quit", tag_).c_str()));
    testsupport::ChildArgs childArgs = {tag_};
    for (size_t i = 1; i < args.size(); ++i)
        childArgs.emplace_back(args[i].begin(), args[i].end());
    process_ = testsupport::StartChildScenario(args.at(0).c_str(), childArgs);
}

ChildProcess::~ChildProcess()
{
    SetEvent(quit_.get());
    process_.Finish(5000);
}

bool ChildProcess::WaitReady(DWORD timeoutMs)
{
    return process_.WaitForEvent(ready_.get(), timeoutMs);
}

DWORD ChildProcess::Wait(DWORD timeoutMs)
{
    return process_.Finish(timeoutMs).exitCode;
}

DWORD ChildProcess::Quit(DWORD timeoutMs)
{
    SetEvent(quit_.get());
    return Wait(timeoutMs);
}

bool Signalled(HANDLE event, DWORD timeoutMs)
{
    return WaitForSingleObject(event, timeoutMs) == WAIT_OBJECT_0;
}

int32_t PopWithin(RuxService service, HANDLE event, RuxItem* call, DWORD timeoutMs)
{
    ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        int32_t kind = RuxPopCall(service, call);
        if (kind != RuxResult_Empty)
            return kind;
        ULONGLONG now = GetTickCount64();
        if (now >= deadline || WaitForSingleObject(event, static_cast<DWORD>(deadline - now)) != WAIT_OBJECT_0)
            return RuxPopCall(service, call);
    }
}

SIZE_T PrivateBytes()
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.PagefileUsage;
}

int32_t SendAs(RuxService service, int32_t kind, RuxItem item)
{
    switch (kind) {
    case RuxResult_Call: return RuxCall(service, 0, item, 0);
    case RuxResult_Advise: return RuxAdvise(service, 0, item);
    case RuxResult_Update: return RuxUpdate(service, 0, item);
    default: return 0;
    }
}

bool SendOnce(const std::string& sink, const std::function<int32_t(RuxService)>& send, RuxSink own,
              const char* service)
{
    RuxConnection connection = own ? RuxOpenPeer(own, sink.c_str()) : RuxOpenConnection(sink.c_str());
    RuxService remote = RuxOpenService(connection, service);
    bool sent = remote && send(remote) != 0;
    RuxCloseService(remote);
    RuxCloseConnection(connection);
    return sent;
}

bool CallOnce(const std::string& sink, const char* text, RuxSink own)
{
    RuxItem item = RuxBuildItem("s", text);
    bool sent = SendOnce(sink, [item](RuxService remote) { return RuxCall(remote, 0, item, 0); }, own);
    RuxReleaseItem(item);
    return sent;
}

ServedSink::ServedSink(const std::string& name, const char* service)
    : sinkEvent_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      event_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      sink_(RuxStartSink(name.c_str(), sinkEvent_.get())),
      service_(RuxStartService(sink_.get(), service, event_.get()))
{
}

RuxService ServedSink::AddService(const char* name, HANDLE event)
{
    more_.emplace_back(RuxStartService(sink_.get(), name, event));
    return more_.back().get();
}

}  // namespace ruxtest
