#include "tools/ruxfuzz/HolderProcess.h"

#include "tools/ruxfuzz/ChildStart.h"
#include "tools/ruxfuzz/RawConnection.h"

#include <cstdio>
#include <memory>
#include <vector>

namespace {

// Each connection's wait for a free instance and for its answers.
constexpr DWORD HolderBusyWaitMs = 2000;
constexpr DWORD HolderIoTimeoutMs = 5000;
constexpr DWORD PollMs = 10;

// A primary token of this process with its integrity lowered to low, as
// CreateProcessAsUser may give to a child without any privilege; null with
// the last error when it cannot be made.
HANDLE LowIntegrityToken()
{
    UniqueToken self;
    UniqueToken low;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, self.put()) ||
        !DuplicateTokenEx(self.get(), TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY | TOKEN_ADJUST_DEFAULT,
                          nullptr, SecurityImpersonation, TokenPrimary, low.put()))
        return nullptr;
    unsigned char sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    TOKEN_MANDATORY_LABEL label = {};
    label.Label.Attributes = SE_GROUP_INTEGRITY;
    label.Label.Sid = sid;
    if (!CreateWellKnownSid(WinLowLabelSid, nullptr, sid, &size) ||
        !SetTokenInformation(low.get(), TokenIntegrityLevel, &label, sizeof label + GetLengthSid(sid)))
        return nullptr;
    return low.release();
}

// The RID of this process's integrity level, or 0 when it cannot be read.
DWORD OwnIntegrity()
{
    UniqueToken token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()))
        return 0;
    union {
        TOKEN_MANDATORY_LABEL header;
        unsigned char bytes[sizeof(TOKEN_MANDATORY_LABEL) + SECURITY_MAX_SID_SIZE];
    } label;
    DWORD size = 0;
    DWORD rid = 0;
    if (GetTokenInformation(token.get(), TokenIntegrityLevel, label.bytes, sizeof label.bytes, &size)) {
        PSID sid = label.header.Label.Sid;
        rid = *GetSidSubAuthority(sid, *GetSidSubAuthorityCount(sid) - 1);
    }
    return rid;
}

}  // namespace

HolderProcess::~HolderProcess()
{
    Release(HolderIoTimeoutMs);
}

bool HolderProcess::Start(const std::wstring& selfPath, const std::string& sink, uint32_t count, bool greetWithOpen,
                          bool lowIntegrity, std::string& error)
{
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    // The child's ends, closed here once it has its own.
    UniquePipe childInput, childOutput;
    UniqueFile childError;
    if (!CreatePipe(childInput.put(), input_.put(), &inherit, 0) ||
        !CreatePipe(output_.put(), childOutput.put(), &inherit, 0)) {
        error = "cannot create a holder's pipes (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    SetHandleInformation(input_.get(), HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(output_.get(), HANDLE_FLAG_INHERIT, 0);
    DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_ERROR_HANDLE), GetCurrentProcess(), childError.put(), 0,
                    TRUE, DUPLICATE_SAME_ACCESS);
    UniqueToken token(lowIntegrity ? LowIntegrityToken() : nullptr);
    DWORD tokenError = GetLastError();
    std::wstring commandLine = L"\"" + selfPath + L"\" --hold " + std::wstring(sink.begin(), sink.end()) + L" " +
                               std::to_wstring(count) + (greetWithOpen ? L" open" : L" hello");
    PROCESS_INFORMATION info = {};
    DWORD startError = 0;
    bool started = (!lowIntegrity || token.valid()) &&
                   StartWithStreams(selfPath, commandLine, childInput.get(), childOutput.get(), childError.get(), info,
                                    startError, token.get());
    if (lowIntegrity && !token.valid()) {
        error = "cannot make a low-integrity token (error " + std::to_string(tokenError) + ")";
        return false;
    }
    if (!started) {
        error = "cannot start a holder (error " + std::to_string(startError) + ")";
        return false;
    }
    CloseHandle(info.hThread);
    process_.reset(info.hProcess);
    return true;
}

bool HolderProcess::WaitHeld(DWORD timeoutMs, uint32_t& answered, DWORD& integrity, std::string& error)
{
    // An anonymous pipe has no overlapped reads: what the child wrote is
    // looked for now and then, until its line is whole.
    ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        DWORD available = 0;
        if (output_.valid() && PeekNamedPipe(output_.get(), nullptr, 0, nullptr, &available, nullptr) && available > 0) {
            char chunk[256];
            DWORD done = 0;
            if (ReadFile(output_.get(), chunk, sizeof chunk < available ? sizeof chunk : available, &done, nullptr))
                partial_.append(chunk, done);
        }
        size_t end = partial_.find('\n');
        if (end != std::string::npos) {
            unsigned long parsedAnswered = 0;
            unsigned long parsedIntegrity = 0;
            if (std::sscanf(partial_.c_str(), "held %lu %lx", &parsedAnswered, &parsedIntegrity) != 2) {
                error = "a holder wrote '" + partial_.substr(0, end) + "'";
                return false;
            }
            answered = static_cast<uint32_t>(parsedAnswered);
            integrity = parsedIntegrity;
            return true;
        }
        if (!process_.valid() || WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0) {
            error = "a holder ended before it held its connections";
            return false;
        }
        if (GetTickCount64() >= deadline) {
            error = "a holder did not hold its connections within " + std::to_string(timeoutMs) + " ms";
            return false;
        }
        WaitForSingleObject(process_.get(), PollMs);  // a holder that ends is noticed at once
    }
}

bool HolderProcess::Release(DWORD timeoutMs)
{
    input_.reset();
    bool ended = true;
    if (process_.valid()) {
        if (WaitForSingleObject(process_.get(), timeoutMs) != WAIT_OBJECT_0) {
            TerminateProcess(process_.get(), ERROR_TIMEOUT);
            WaitForSingleObject(process_.get(), timeoutMs);
            ended = false;
        }
        process_.reset();
    }
    output_.reset();
    return ended;
}

int HolderProcess::RunChild(const std::string& sink, uint32_t count, bool greetWithOpen)
{
    std::vector<std::unique_ptr<RawConnection>> held;
    uint32_t answered = 0;
    for (uint32_t i = 0; i < count; ++i) {
        auto connection = std::make_unique<RawConnection>();
        DWORD error = ERROR_SUCCESS;
        uint32_t service = 0;
        if (!connection->Open(sink, HolderBusyWaitMs, error))
            continue;
        bool greeted = greetWithOpen ? connection->HandshakeOpen(i + 1, "SB", service, HolderIoTimeoutMs)
                                     : connection->Handshake(false, "ruxfuzz-holder", "SB", service, HolderIoTimeoutMs);
        if (greeted) {
            ++answered;
            held.push_back(std::move(connection));
        }
    }
    std::printf("held %lu %lx\n", static_cast<unsigned long>(answered), OwnIntegrity());
    std::fflush(stdout);
    // Held until the input ends (the campaign closes it, or went away).
    char ignored[64];
    DWORD done = 0;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    while (ReadFile(input, ignored, sizeof ignored, &done, nullptr) && done > 0) {
    }
    return 0;
}
