#include "rux/tests/TraceLines.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace ruxtest {
namespace {

std::mutex Mutex;
std::condition_variable Added;
std::vector<std::string> Collected;

void Collect(const char* line)
{
    std::lock_guard<std::mutex> hold(Mutex);
    Collected.emplace_back(line ? line : "");
    Added.notify_all();
}

size_t CountLocked(const std::string& containing)
{
    size_t count = 0;
    for (const auto& line : Collected)
        count += line.find(containing) != std::string::npos;
    return count;
}

}  // namespace

TraceLines::TraceLines(Install install) : install_(install)
{
    {
        std::lock_guard<std::mutex> hold(Mutex);
        Collected.clear();
    }
    install_(Collect);
}

TraceLines::~TraceLines()
{
    install_(nullptr);
}

size_t TraceLines::Count(const std::string& containing) const
{
    std::lock_guard<std::mutex> hold(Mutex);
    return CountLocked(containing);
}

bool TraceLines::WaitFor(const std::string& containing, DWORD timeoutMs, size_t count) const
{
    std::unique_lock<std::mutex> hold(Mutex);
    return Added.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                          [&] { return CountLocked(containing) >= count; });
}

}  // namespace ruxtest
