#include "tools/ruxfuzz/HostProcess.h"

#include "tools/ruxfuzz/ChildStart.h"

#include <chrono>
#include <cstdio>

HostProcess::~HostProcess()
{
    if (process_.valid())
        Finish(FinishWaitMs);
    if (reader_.joinable())
        reader_.join();
}

bool HostProcess::Start(const std::wstring& hostPath, const std::wstring& dllPath, std::string& error)
{
    // The child's ends are inheritable; ours are not, so that the host's
    // input reaches its end when we close ours.
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    // The child's ends, closed here once it has its own.
    UniquePipe childInput, childOutput;
    UniqueFile childError;
    BOOL piped = CreatePipe(childInput.put(), input_.put(), &inherit, 0) &&
                 CreatePipe(output_.put(), childOutput.put(), &inherit, 0);
    DWORD pipeError = GetLastError();
    if (piped) {
        SetHandleInformation(input_.get(), HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(output_.get(), HANDLE_FLAG_INHERIT, 0);
        DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_ERROR_HANDLE), GetCurrentProcess(), childError.put(), 0,
                        TRUE, DUPLICATE_SAME_ACCESS);
    }

    std::wstring commandLine = L"\"" + hostPath + L"\"";
    if (!dllPath.empty())
        commandLine += L" --dll \"" + dllPath + L"\"";
    commandLine += L" -";
    PROCESS_INFORMATION info = {};
    DWORD startError = 0;
    bool started = piped && StartWithStreams(hostPath, commandLine, childInput.get(), childOutput.get(),
                                             childError.get(), info, startError);
    if (!piped) {
        error = "cannot create the host's pipes (error " + std::to_string(pipeError) + ")";
        return false;
    }
    if (!started) {
        error = "cannot start the host (error " + std::to_string(startError) + ")";
        return false;
    }
    CloseHandle(info.hThread);
    process_.reset(info.hProcess);
    reader_ = std::thread(&HostProcess::ReadLoop, this);
    return true;
}

void HostProcess::ReadLoop()
{
    char chunk[4096];
    DWORD done = 0;
    while (ReadFile(output_.get(), chunk, sizeof(chunk), &done, nullptr) && done > 0) {
        std::lock_guard<std::mutex> hold(mutex_);
        partial_.append(chunk, done);
        for (size_t end; (end = partial_.find('\n')) != std::string::npos;) {
            std::string line = partial_.substr(0, end);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            lines_.push_back(line);
            partial_.erase(0, end + 1);
        }
        changed_.notify_all();
    }
    std::lock_guard<std::mutex> hold(mutex_);
    ended_ = true;
    changed_.notify_all();
}

bool HostProcess::Step(const std::string& step, DWORD timeoutMs, std::string& line)
{
    std::string text = step + "\n";
    DWORD written = 0;
    if (!process_.valid() || !WriteFile(input_.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
        line = "the host's input is closed (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    std::string prefix = step + ":";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> hold(mutex_);
    for (;;) {
        while (!lines_.empty()) {
            std::string next = std::move(lines_.front());
            lines_.pop_front();
            if (next.compare(0, prefix.size(), prefix) == 0) {
                line = next;
                return true;
            }
        }
        if (ended_) {
            line = "the host ended before it answered '" + step + "'";
            return false;
        }
        if (changed_.wait_until(hold, deadline) == std::cv_status::timeout && lines_.empty()) {
            line = "the host did not answer '" + step + "' within " + std::to_string(timeoutMs) + " ms";
            return false;
        }
    }
}

bool HostProcess::SampleResources(Resources& resources, DWORD timeoutMs, std::string& error)
{
    std::string line;
    if (!Step("resources", timeoutMs, line)) {
        error = line;
        return false;
    }
    Resources parsed;
    if (std::sscanf(line.c_str(), "resources: handles=%lu private-bytes=%llu threads=%lu", &parsed.handles,
                    &parsed.privateBytes, &parsed.threads) != 3) {
        error = "the host's resources line is not understood: " + line;
        return false;
    }
    resources = parsed;
    return true;
}

bool HostProcess::Alive() const
{
    return process_.valid() && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT;
}

bool HostProcess::WaitForExit(DWORD timeoutMs) const
{
    return !process_.valid() || WaitForSingleObject(process_.get(), timeoutMs) == WAIT_OBJECT_0;
}

DWORD HostProcess::ExitCode() const
{
    DWORD code = STILL_ACTIVE;
    if (process_.valid())
        GetExitCodeProcess(process_.get(), &code);
    return code;
}

bool HostProcess::Finish(DWORD timeoutMs)
{
    if (!process_.valid())
        return true;
    input_.reset();
    if (WaitForSingleObject(process_.get(), timeoutMs) == WAIT_OBJECT_0)
        return true;
    TerminateProcess(process_.get(), ERROR_TIMEOUT);
    WaitForSingleObject(process_.get(), FinishWaitMs);
    return false;
}
