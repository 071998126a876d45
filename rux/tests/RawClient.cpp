#include "rux/tests/RawClient.h"

#include <atomic>

namespace ruxtest {

std::string UniqueName(const char* tag)
{
    static std::atomic<int> counter{0};
    return "RuxT" + std::to_string(GetCurrentProcessId()) + "." + tag + "." + std::to_string(++counter);
}

std::string U32(uint32_t value)
{
    return std::string{char(value), char(value >> 8), char(value >> 16), char(value >> 24)};
}

std::string RawFrame(uint8_t kind, uint32_t service, const std::string& body, uint32_t length)
{
    return U32(0x31585552) + std::string{char(kind), 0, 0, 0} + U32(service) + U32(length) + body;
}

std::string RawFrame(uint8_t kind, uint32_t service, const std::string& body)
{
    return RawFrame(kind, service, body, static_cast<uint32_t>(body.size()));
}

std::string StringItem(const std::string& text)
{
    std::string item(1, char(9));
    item += U32(static_cast<uint32_t>(text.size()));
    item += text;
    return item;
}

std::vector<uint8_t> ProcessUserSid()
{
    UniqueToken token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()))
        return {};
    std::vector<uint8_t> buffer(256);
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &size))
        return {};
    PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    const uint8_t* bytes = static_cast<const uint8_t*>(sid);
    return std::vector<uint8_t>(bytes, bytes + GetLengthSid(sid));
}

UniquePipe CreateOwnedPipe(const std::wstring& path, DWORD openMode, DWORD pipeMode, DWORD instances)
{
    std::vector<uint8_t> user = ProcessUserSid();
    if (user.empty())
        return UniquePipe();
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorOwner(&descriptor, user.data(), FALSE);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
    return UniquePipe(CreateNamedPipeW(path.c_str(), openMode, pipeMode, instances, 4096, 4096, 0, &attributes));
}

UniquePipe OpenSinkPipe(const std::string& sink, DWORD access, DWORD flags)
{
    std::wstring path = L"\\\\.\\pipe\\Rux.Sink." + std::wstring(sink.begin(), sink.end());
    ULONGLONG deadline = GetTickCount64() + 5000;
    for (;;) {
        UniquePipe pipe(CreateFileW(path.c_str(), access, 0, nullptr, OPEN_EXISTING, flags, nullptr));
        ULONGLONG now = GetTickCount64();
        if (pipe.valid() || GetLastError() != ERROR_PIPE_BUSY || now >= deadline)
            return pipe;
        WaitNamedPipeW(path.c_str(), static_cast<DWORD>(deadline - now));
    }
}

bool Transfer(HANDLE pipe, HANDLE event, bool write, void* data, DWORD size, DWORD timeoutMs, DWORD& done,
              DWORD& error)
{
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event;
    done = 0;
    BOOL ok = write ? WriteFile(pipe, data, size, nullptr, &overlapped) : ReadFile(pipe, data, size, nullptr, &overlapped);
    error = ok ? 0 : GetLastError();
    if (!ok && error != ERROR_IO_PENDING && error != ERROR_MORE_DATA)
        return false;
    if (!ok && error == ERROR_IO_PENDING && WaitForSingleObject(event, timeoutMs) != WAIT_OBJECT_0) {
        CancelIoEx(pipe, &overlapped);
        GetOverlappedResult(pipe, &overlapped, &done, TRUE);
        error = ERROR_TIMEOUT;
        return false;
    }
    ok = GetOverlappedResult(pipe, &overlapped, &done, FALSE);
    error = ok ? 0 : GetLastError();
    return ok || error == ERROR_MORE_DATA;
}

RawClient::RawClient(const std::string& sink)
    : pipe_(OpenSinkPipe(sink, GENERIC_READ | GENERIC_WRITE, FILE_FLAG_OVERLAPPED)),
      event_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (pipe_.valid())
        SetNamedPipeHandleState(pipe_.get(), &mode, nullptr, nullptr);
}

bool RawClient::Write(const std::string& bytes)
{
    DWORD done = 0;
    DWORD error = 0;
    return Transfer(pipe_.get(), event_.get(), true, const_cast<char*>(bytes.data()),
                    static_cast<DWORD>(bytes.size()), 5000, done, error) &&
           done == bytes.size();
}

std::string RawClient::Read()
{
    char buffer[256];
    DWORD done = 0;
    DWORD error = 0;
    if (!Transfer(pipe_.get(), event_.get(), false, buffer, sizeof buffer, 5000, done, error))
        return "";
    return std::string(buffer, done);
}

int64_t RawClient::Ask(uint8_t kind, const std::string& body)
{
    if (!Write(RawFrame(kind, 0, body)))
        return -1;
    std::string answer = Read();
    if (answer.size() != 24 || uint8_t(answer[4]) != 0x80)
        return -1;
    return static_cast<int32_t>(uint32_t(uint8_t(answer[16])) | uint32_t(uint8_t(answer[17])) << 8 |
                                uint32_t(uint8_t(answer[18])) << 16 | uint32_t(uint8_t(answer[19])) << 24);
}

uint32_t RawClient::ServiceId(const std::string& name)
{
    if (!Write(RawFrame(2, 0, name)))
        return 0;
    std::string answer = Read();
    return answer.size() == 24 ? uint32_t(uint8_t(answer[20])) | uint32_t(uint8_t(answer[21])) << 8 : 0;
}

bool RawClient::ClosedBySink(DWORD timeoutMs)
{
    char buffer[64];
    DWORD done = 0;
    DWORD error = 0;
    return !Transfer(pipe_.get(), event_.get(), false, buffer, sizeof buffer, timeoutMs, done, error) &&
           (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_NO_DATA);
}

}  // namespace ruxtest
