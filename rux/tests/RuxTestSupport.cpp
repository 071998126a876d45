#include "rux/tests/RuxTestSupport.h"

#include "tests/support/ChildScenario.h"

#include <psapi.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

namespace ruxtest {
namespace {

std::mutex TraceMutex;
std::condition_variable TraceAdded;
std::vector<std::string> TraceLines;

void CollectTrace(const char* line)
{
    std::lock_guard<std::mutex> hold(TraceMutex);
    TraceLines.emplace_back(line ? line : "");
    TraceAdded.notify_all();
}

}  // namespace

std::string UniqueName(const char* tag)
{
    static std::atomic<int> counter{0};
    return "RuxT" + std::to_string(GetCurrentProcessId()) + "." + tag + "." + std::to_string(++counter);
}

TraceCollector::TraceCollector()
{
    {
        std::lock_guard<std::mutex> hold(TraceMutex);
        TraceLines.clear();
    }
    RuxSetTraceProc(CollectTrace);
}

TraceCollector::~TraceCollector()
{
    RuxSetTraceProc(nullptr);
}

std::vector<std::string> TraceCollector::Lines() const
{
    std::lock_guard<std::mutex> hold(TraceMutex);
    return TraceLines;
}

size_t TraceCollector::Count(const char* containing) const
{
    std::lock_guard<std::mutex> hold(TraceMutex);
    size_t count = 0;
    for (const auto& line : TraceLines)
        count += line.find(containing) != std::string::npos;
    return count;
}

bool TraceCollector::WaitFor(const std::string& containing, DWORD timeoutMs) const
{
    std::unique_lock<std::mutex> hold(TraceMutex);
    return TraceAdded.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] {
        for (const auto& line : TraceLines) {
            if (line.find(containing) != std::string::npos)
                return true;
        }
        return false;
    });
}

std::wstring ChildProcess::EventName(const wchar_t* what, const std::wstring& tag)
{
    return L"Local\\RuxTest." + std::wstring(what) + L"." + tag;
}

ChildProcess::ChildProcess(const std::vector<std::string>& args)
{
    static std::atomic<int> counter{0};
    tag_ = std::to_wstring(GetCurrentProcessId()) + L"." + std::to_wstring(++counter);
    // Both events exist before the child looks for them.
    ready_ = CreateEventW(nullptr, TRUE, FALSE, EventName(L"Ready", tag_).c_str());
    quit_ = CreateEventW(nullptr, TRUE, FALSE, EventName(L"Quit", tag_).c_str());
    testsupport::ChildArgs childArgs = {tag_};
    for (size_t i = 1; i < args.size(); ++i)
        childArgs.emplace_back(args[i].begin(), args[i].end());
    process_ = testsupport::StartChildScenario(args.at(0).c_str(), childArgs);
}

ChildProcess::~ChildProcess()
{
    SetEvent(quit_);
    process_.Finish(5000);
    CloseHandle(ready_);
    CloseHandle(quit_);
}

bool ChildProcess::WaitReady(DWORD timeoutMs)
{
    return process_.WaitForEvent(ready_, timeoutMs);
}

DWORD ChildProcess::Wait(DWORD timeoutMs)
{
    return process_.Finish(timeoutMs).exitCode;
}

DWORD ChildProcess::Quit(DWORD timeoutMs)
{
    SetEvent(quit_);
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

}  // namespace ruxtest
