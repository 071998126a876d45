#include "rux/tests/RuxTestSupport.h"

#include <psapi.h>

#include <atomic>
#include <cstring>
#include <mutex>

namespace ruxtest {
namespace {

std::mutex TraceMutex;
std::vector<std::string> TraceLines;

void CollectTrace(const char* line)
{
    std::lock_guard<std::mutex> hold(TraceMutex);
    TraceLines.emplace_back(line ? line : "");
}

}  // namespace

std::string UniqueName(const char* tag)
{
    static std::atomic<int> counter{0};
    return "RuxT" + std::to_string(GetCurrentProcessId()) + "." + tag + "." + std::to_string(++counter);
}

std::string ItemText(RuxItem item)
{
    int32_t type = 0;
    if (RuxGetType(item, &type) != 0)
        return "<invalid>";
    switch (type) {
    case RuxType_String: {
        char buffer[1024] = {};
        if (RuxCopyStr(item, buffer, 0, sizeof buffer) != 0)
            return "<long>";
        std::string text(1, '"');
        text.append(buffer);
        text.push_back('"');
        return text;
    }
    case RuxType_Blob: {
        uint16_t length = 0;
        char buffer[1024];
        if (RuxCopyBlob(item, buffer, &length, sizeof buffer) != 0)
            return "<blob>";
        std::string text("blob:");
        text.append(buffer, length);
        return text;
    }
    case RuxType_Bool: {
        int32_t value = 0;
        RuxGetBool(item, &value);
        return value ? "true" : "false";
    }
    case RuxType_Int32: {
        int32_t value = 0;
        RuxGetInt(item, &value);
        return "i:" + std::to_string(value);
    }
    case RuxType_Assoc: {
        uint16_t count = 0;
        RuxGetLen(item, &count);
        std::string text = "{";
        for (uint16_t i = 0; i < count; ++i) {
            RuxItem key = nullptr;
            RuxItem value = nullptr;
            RuxGetNthKey(item, i, &key);
            RuxGetAt(item, key, &value);
            char name[256] = {};
            RuxCopyStr(key, name, 0, sizeof name);
            if (i)
                text.push_back(',');
            text.append(name);
            text.push_back(':');
            text.append(ItemText(value));
            RuxReleaseItem(value);
            RuxReleaseItem(key);
        }
        return text + "}";
    }
    default:
        return "<type " + std::to_string(type) + ">";
    }
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

std::wstring ChildProcess::ReadyEventName(DWORD pid)
{
    return L"Local\\RuxTest.Ready." + std::to_wstring(pid);
}

std::wstring ChildProcess::QuitEventName(DWORD pid)
{
    return L"Local\\RuxTest.Quit." + std::to_wstring(pid);
}

ChildProcess::ChildProcess(const std::vector<std::string>& args)
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(path) + L"\" --child";
    for (const auto& arg : args)
        command += L" \"" + std::wstring(arg.begin(), arg.end()) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    // Suspended, so that both events exist before the child looks for them.
    if (!CreateProcessW(path, command.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &startup,
                        &info))
        return;
    process_ = info.hProcess;
    pid_ = info.dwProcessId;
    ready_ = CreateEventW(nullptr, TRUE, FALSE, ReadyEventName(pid_).c_str());
    quit_ = CreateEventW(nullptr, TRUE, FALSE, QuitEventName(pid_).c_str());
    ResumeThread(info.hThread);
    CloseHandle(info.hThread);
}

ChildProcess::~ChildProcess()
{
    if (process_) {
        if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
            SetEvent(quit_);
            if (WaitForSingleObject(process_, 5000) == WAIT_TIMEOUT)
                TerminateProcess(process_, 99);
        }
        CloseHandle(process_);
    }
    if (ready_)
        CloseHandle(ready_);
    if (quit_)
        CloseHandle(quit_);
}

bool ChildProcess::WaitReady(DWORD timeoutMs)
{
    if (!process_)
        return false;
    HANDLE waits[2] = {ready_, process_};
    return WaitForMultipleObjects(2, waits, FALSE, timeoutMs) == WAIT_OBJECT_0;
}

DWORD ChildProcess::Wait(DWORD timeoutMs)
{
    if (!process_ || WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0)
        return STILL_ACTIVE;
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    return code;
}

DWORD ChildProcess::Quit(DWORD timeoutMs)
{
    if (quit_)
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
