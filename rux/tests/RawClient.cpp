#include "rux/tests/RawClient.h"

namespace ruxtest {

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

RawClient::RawClient(const std::string& sink) : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    std::wstring path = L"\\\\.\\pipe\\Rux.Sink." + std::wstring(sink.begin(), sink.end());
    ULONGLONG deadline = GetTickCount64() + 5000;
    for (;;) {
        pipe_ = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
        ULONGLONG now = GetTickCount64();
        if (pipe_ != INVALID_HANDLE_VALUE || GetLastError() != ERROR_PIPE_BUSY || now >= deadline)
            break;
        WaitNamedPipeW(path.c_str(), static_cast<DWORD>(deadline - now));
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (pipe_ != INVALID_HANDLE_VALUE)
        SetNamedPipeHandleState(pipe_, &mode, nullptr, nullptr);
}

RawClient::~RawClient()
{
    if (pipe_ != INVALID_HANDLE_VALUE)
        CloseHandle(pipe_);
    CloseHandle(event_);
}

bool RawClient::Write(const std::string& bytes)
{
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event_;
    DWORD done = 0;
    if (!WriteFile(pipe_, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &overlapped) &&
        GetLastError() != ERROR_IO_PENDING)
        return false;
    if (WaitForSingleObject(event_, 5000) != WAIT_OBJECT_0) {
        CancelIoEx(pipe_, &overlapped);
        GetOverlappedResult(pipe_, &overlapped, &done, TRUE);
        return false;
    }
    return GetOverlappedResult(pipe_, &overlapped, &done, FALSE) && done == bytes.size();
}

std::string RawClient::Read()
{
    char buffer[256];
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event_;
    DWORD done = 0;
    if (!ReadFile(pipe_, buffer, sizeof buffer, nullptr, &overlapped) && GetLastError() != ERROR_IO_PENDING)
        return "";
    if (WaitForSingleObject(event_, 5000) != WAIT_OBJECT_0) {
        CancelIoEx(pipe_, &overlapped);
        GetOverlappedResult(pipe_, &overlapped, &done, TRUE);
        return "";
    }
    if (!GetOverlappedResult(pipe_, &overlapped, &done, FALSE))
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
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event_;
    DWORD done = 0;
    if (!ReadFile(pipe_, buffer, sizeof buffer, nullptr, &overlapped) && GetLastError() != ERROR_IO_PENDING)
        return GetLastError() == ERROR_BROKEN_PIPE || GetLastError() == ERROR_PIPE_NOT_CONNECTED ||
               GetLastError() == ERROR_NO_DATA;
    if (WaitForSingleObject(event_, timeoutMs) != WAIT_OBJECT_0) {
        CancelIoEx(pipe_, &overlapped);
        GetOverlappedResult(pipe_, &overlapped, &done, TRUE);
        return false;
    }
    return !GetOverlappedResult(pipe_, &overlapped, &done, FALSE) && GetLastError() != ERROR_MORE_DATA;
}

std::vector<uint8_t> ProcessUserSid()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return {};
    std::vector<uint8_t> buffer(256);
    DWORD size = 0;
    BOOL read = GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &size);
    CloseHandle(token);
    if (!read)
        return {};
    PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    const uint8_t* bytes = static_cast<const uint8_t*>(sid);
    return std::vector<uint8_t>(bytes, bytes + GetLengthSid(sid));
}

HANDLE CreateOwnedPipe(const std::wstring& path, DWORD openMode, DWORD pipeMode, DWORD instances)
{
    std::vector<uint8_t> user = ProcessUserSid();
    if (user.empty())
        return INVALID_HANDLE_VALUE;
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorOwner(&descriptor, user.data(), FALSE);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
    return CreateNamedPipeW(path.c_str(), openMode, pipeMode, instances, 4096, 4096, 0, &attributes);
}

}  // namespace ruxtest
