#include "tests/support/ProcessRun.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

namespace testsupport {

namespace {

// How long the output of an ended child may take to reach its end of file:
// a debugger started for the child's breakpoint may still hold the pipes.
constexpr DWORD DrainBoundMs = 5000;
constexpr DWORD PipeBytes = 64 * 1024;

// Our end of one standard stream: a named pipe used overlapped, so that one
// thread can wait on the child and on every stream at once. While `pending`,
// the system owns `overlapped` and `buffer`.
struct PipeEnd {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    OVERLAPPED overlapped{};
    bool pending = false;
    bool open = false;
    std::string* into = nullptr;  // where a reader's bytes go
    bool dropCarriageReturns = false;
    char buffer[4096];

    ~PipeEnd() { Close(); }

    // Makes the pipe; `childEnd` receives the inheritable end the child uses.
    bool Create(bool childReads, HANDLE& childEnd)
    {
        static std::atomic<unsigned> counter{0};
        const std::wstring name = L"\\\\.\\pipe\\olv-test-stream-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(++counter);
        pipe = CreateNamedPipeW(name.c_str(),
                                (childReads ? PIPE_ACCESS_OUTBOUND : PIPE_ACCESS_INBOUND) | FILE_FLAG_OVERLAPPED |
                                    FILE_FLAG_FIRST_PIPE_INSTANCE,
                                PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                PipeBytes, PipeBytes, 0, nullptr);
        overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (pipe == INVALID_HANDLE_VALUE || overlapped.hEvent == nullptr)
            return false;
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        childEnd = CreateFileW(name.c_str(), childReads ? GENERIC_READ : GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, 0,
                               nullptr);
        open = childEnd != INVALID_HANDLE_VALUE;
        return open;
    }

    // Takes what the child wrote so far, without blocking, and leaves one read
    // pending; the end of file (every writer's end closed) closes our end.
    void Read()
    {
        while (open) {
            if (!pending && !Issue(ReadFile(pipe, buffer, sizeof buffer, nullptr, &overlapped)))
                return;
            DWORD got = 0;
            if (!Completed(got))
                return;
            Take(got);
        }
    }

    // Feeds `input` from `sent` on, without blocking; closes our end (the
    // child's end of file) once everything was taken.
    void Write(const std::string& input, size_t& sent)
    {
        while (open && sent < input.size()) {
            const DWORD chunk = static_cast<DWORD>(std::min<size_t>(input.size() - sent, PipeBytes));
            if (!pending && !Issue(WriteFile(pipe, input.data() + sent, chunk, nullptr, &overlapped)))
                return;
            DWORD put = 0;
            if (!Completed(put))
                return;
            sent += put;
        }
        Close();
    }

    // An operation just started: pending, or the pipe is broken (closed).
    bool Issue(BOOL done)
    {
        if (!done && GetLastError() != ERROR_IO_PENDING) {
            Close();
            return false;
        }
        pending = true;
        return true;
    }

    // Whether the pending operation has ended, with its byte count; false while
    // it runs, and when it failed on a broken pipe (then closed).
    bool Completed(DWORD& bytes)
    {
        if (GetOverlappedResult(pipe, &overlapped, &bytes, FALSE)) {
            pending = false;
            return true;
        }
        if (GetLastError() != ERROR_IO_INCOMPLETE) {
            pending = false;
            Close();
        }
        return false;
    }

    void Take(DWORD got)
    {
        for (DWORD i = 0; into != nullptr && i < got; ++i) {
            if (!dropCarriageReturns || buffer[i] != '\r')
                into->push_back(buffer[i]);
        }
    }

    // Closes our end; a read still pending is cancelled first, keeping what it
    // got, before its buffer goes.
    void Close()
    {
        if (pending) {
            CancelIoEx(pipe, &overlapped);
            DWORD got = 0;
            if (GetOverlappedResult(pipe, &overlapped, &got, TRUE))
                Take(got);
            pending = false;
        }
        if (pipe != INVALID_HANDLE_VALUE)
            CloseHandle(pipe);
        pipe = INVALID_HANDLE_VALUE;
        open = false;
        if (overlapped.hEvent != nullptr)
            CloseHandle(overlapped.hEvent);
        overlapped.hEvent = nullptr;
    }
};

std::wstring Quoted(const std::wstring& arg)
{
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return arg;
    std::wstring quoted = L"\"";
    for (auto at = arg.begin();; ++at) {
        size_t backslashes = 0;
        for (; at != arg.end() && *at == L'\\'; ++at)
            ++backslashes;
        if (at == arg.end()) {
            quoted.append(backslashes * 2, L'\\');
            break;
        }
        quoted.append(*at == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        quoted.push_back(*at);
    }
    quoted.push_back(L'"');
    return quoted;
}

// The program quoted, each argument quoted where needed so that the child's
// argv holds exactly `args`.
std::wstring CommandLine(const std::wstring& exe, const std::vector<std::wstring>& args)
{
    std::wstring line = L"\"" + exe + L"\"";
    for (const std::wstring& arg : args)
        line += L" " + Quoted(arg);
    return line;
}

}  // namespace

struct RunningProcess::State {
    std::wstring exe;
    PROCESS_INFORMATION process{};
    std::string input;
    size_t sent = 0;
    PipeEnd in, out, err;
    bool ended = false;
    bool finished = false;
    ProcessResult result;

    ~State()
    {
        if (!finished)
            Kill(1);
        if (process.hProcess != nullptr)
            CloseHandle(process.hProcess);
    }

    void Pump()
    {
        in.Write(input, sent);
        out.Read();
        err.Read();
    }

    // After the end: what the child wrote is in the pipes, up to the end of
    // file, which may come late when something else still holds them.
    void Drain()
    {
        const ULONGLONG deadline = GetTickCount64() + DrainBoundMs;
        for (;;) {
            Pump();
            HANDLE waits[2];
            DWORD count = 0;
            for (PipeEnd* end : {&out, &err}) {
                if (end->pending)
                    waits[count++] = end->overlapped.hEvent;
            }
            const ULONGLONG now = GetTickCount64();
            if (count == 0 || now >= deadline ||
                WaitForMultipleObjects(count, waits, FALSE, static_cast<DWORD>(deadline - now)) >= WAIT_OBJECT_0 + count)
                break;
        }
        in.Close();
        out.Close();
        err.Close();
    }

    enum class WaitEnd { Event, Text, Ended, TimedOut };

    // Reads and feeds the streams until `event` is signalled, standard output
    // holds `text`, the child ends or the time runs out.
    WaitEnd Wait(DWORD timeoutMs, HANDLE event, std::string_view text)
    {
        const ULONGLONG deadline = GetTickCount64() + timeoutMs;
        for (;;) {
            Pump();
            if (!text.empty() && result.out.find(text) != std::string::npos)
                return WaitEnd::Text;
            if (ended)
                return WaitEnd::Ended;
            HANDLE waits[5];
            DWORD count = 0;
            if (event != nullptr)
                waits[count++] = event;
            const DWORD processIndex = count;
            waits[count++] = process.hProcess;
            for (PipeEnd* end : {&in, &out, &err}) {
                if (end->pending)
                    waits[count++] = end->overlapped.hEvent;
            }
            const ULONGLONG now = GetTickCount64();
            const DWORD left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
            const DWORD woken = WaitForMultipleObjects(count, waits, FALSE, left);
            if (event != nullptr && woken == WAIT_OBJECT_0)
                return WaitEnd::Event;
            if (woken == WAIT_OBJECT_0 + processIndex) {
                ended = true;
                Drain();
            } else if (woken == WAIT_TIMEOUT || woken == WAIT_FAILED) {
                return WaitEnd::TimedOut;
            }
        }
    }

    void Kill(DWORD exitCode)
    {
        if (!ended) {
            TerminateProcess(process.hProcess, exitCode);
            WaitForSingleObject(process.hProcess, 10000);
            ended = true;
        }
        Drain();
    }

    ProcessResult& Finished()
    {
        if (!finished) {
            GetExitCodeProcess(process.hProcess, &result.exitCode);
            finished = true;
        }
        return result;
    }
};

RunningProcess::RunningProcess(const std::wstring& exe, const std::vector<std::wstring>& args, std::string input,
                               unsigned output)
{
    auto started = std::make_unique<State>();
    started->exe = exe;
    started->input = std::move(input);
    started->out.into = &started->result.out;
    started->err.into = &started->result.err;
    started->out.dropCarriageReturns = started->err.dropCarriageReturns = (output & DropCarriageReturns) != 0;
    const bool merged = (output & ErrorsToOutput) != 0;
    HANDLE childIn = INVALID_HANDLE_VALUE, childOut = INVALID_HANDLE_VALUE, childErr = INVALID_HANDLE_VALUE;
    bool piped = started->in.Create(true, childIn) && started->out.Create(false, childOut) &&
                 (merged || started->err.Create(false, childErr));
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childIn;
    startup.hStdOutput = childOut;
    startup.hStdError = merged ? childOut : childErr;
    std::wstring commandLine = CommandLine(exe, args);
    // Wine now and then loses a new process before it has started, and says
    // ERROR_INTERNAL_ERROR; the same start made again works. A program that
    // cannot run (a missing DLL, a bad image) fails with other codes, or starts
    // and exits with its status.
    bool created = false;
    DWORD error = GetLastError();
    for (int attempt = 0; piped && !created && attempt < 3; ++attempt) {
        created = CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                 &startup, &started->process);
        error = GetLastError();
        if (!created && error != ERROR_INTERNAL_ERROR)
            break;
    }
    // Only the child holds its ends now: its exit is our end of file.
    for (HANDLE end : {childIn, childOut, childErr}) {
        if (end != INVALID_HANDLE_VALUE)
            CloseHandle(end);
    }
    if (!created) {
        ADD_FAILURE() << "cannot start " << Narrow(commandLine) << ": error " << error;
        started->finished = true;
        started->ended = true;
        return;
    }
    CloseHandle(started->process.hThread);
    // Input that fits the pipe is fed, and its end given, at once.
    started->Pump();
    state = std::move(started);
}

RunningProcess::RunningProcess() = default;
RunningProcess::~RunningProcess() = default;
RunningProcess::RunningProcess(RunningProcess&&) noexcept = default;
RunningProcess& RunningProcess::operator=(RunningProcess&&) noexcept = default;

bool RunningProcess::Started() const
{
    return state != nullptr;
}

DWORD RunningProcess::Id() const
{
    return state ? state->process.dwProcessId : 0;
}

bool RunningProcess::WaitForEvent(HANDLE event, DWORD timeoutMs)
{
    return state && state->Wait(timeoutMs, event, {}) == State::WaitEnd::Event;
}

bool RunningProcess::WaitForOutput(std::string_view text, DWORD timeoutMs)
{
    return state && state->Wait(timeoutMs, nullptr, text) == State::WaitEnd::Text;
}

std::string RunningProcess::Output()
{
    if (!state)
        return std::string();
    if (!state->ended)
        state->Pump();
    return state->result.out;
}

ProcessResult RunningProcess::Finish(DWORD timeoutMs)
{
    if (!state)
        return ProcessResult();
    if (!state->finished && state->Wait(timeoutMs, nullptr, {}) != State::WaitEnd::Ended) {
        ADD_FAILURE() << Narrow(state->exe) << " (process " << state->process.dwProcessId << ") did not end within "
                      << timeoutMs << " ms: killed";
        state->Kill(KilledExitCode);
    }
    return state->Finished();
}

ProcessResult RunningProcess::Stop()
{
    if (!state)
        return ProcessResult();
    state->Kill(1);
    return state->Finished();
}

ProcessResult RunProcess(const std::wstring& exe, const std::vector<std::wstring>& args, const std::string& input,
                         DWORD timeoutMs, unsigned output)
{
    return RunningProcess(exe, args, input, output).Finish(timeoutMs);
}

std::wstring TestProgramPath()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

std::wstring BesideTestProgram(std::wstring_view name)
{
    std::wstring path = TestProgramPath();
    return path.substr(0, path.find_last_of(L"\\/") + 1) + std::wstring(name);
}

std::string Narrow(std::wstring_view text)
{
    std::string narrow;
    for (wchar_t unit : text)
        narrow.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    return narrow;
}

}  // namespace testsupport
