#include "tools/ruxfuzz/RawConnection.h"

#include "tools/ruxfuzz/WireItem.h"

#include "rux/wire/Frame.h"


bool RawConnection::Open(const std::string& sinkName, DWORD busyWaitMs, DWORD& error)
{
    Drop();
    // The path that rux::SinkName::PipePath gives a sink name.
    std::wstring path = L"\\\\.\\pipe\\Rux.Sink." + std::wstring(sinkName.begin(), sinkName.end());
    event_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event_.valid()) {
        error = GetLastError();
        return false;
    }
    ULONGLONG deadline = GetTickCount64() + busyWaitMs;
    for (;;) {
        pipe_.reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
        ULONGLONG now = GetTickCount64();
        if (pipe_.valid() || GetLastError() != ERROR_PIPE_BUSY || now >= deadline)
            break;
        WaitNamedPipeW(path.c_str(), static_cast<DWORD>(deadline - now));
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!pipe_.valid() || !SetNamedPipeHandleState(pipe_.get(), &mode, nullptr, nullptr)) {
        error = GetLastError();
        Drop();
        return false;
    }
    broken_ = false;
    return true;
}

void RawConnection::Drop()
{
    pipe_.reset();
    event_.reset();
    broken_ = true;
}

bool RawConnection::Transfer(bool write, void* buffer, DWORD size, DWORD& done, DWORD timeoutMs, DWORD& error)
{
    done = 0;
    error = ERROR_SUCCESS;
    if (!IsOpen()) {
        error = ERROR_BROKEN_PIPE;
        return false;
    }
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event_.get();
    ResetEvent(event_.get());
    BOOL started = write ? WriteFile(pipe_.get(), buffer, size, nullptr, &overlapped)
                         : ReadFile(pipe_.get(), buffer, size, nullptr, &overlapped);
    error = started ? ERROR_SUCCESS : GetLastError();
    if (error == ERROR_IO_PENDING) {
        if (WaitForSingleObject(event_.get(), timeoutMs) != WAIT_OBJECT_0) {
            CancelIoEx(pipe_.get(), &overlapped);
            GetOverlappedResult(pipe_.get(), &overlapped, &done, TRUE);
            error = ERROR_TIMEOUT;
            broken_ = true;
            return false;
        }
    } else if (error != ERROR_SUCCESS && error != ERROR_MORE_DATA) {
        broken_ = true;
        return false;
    }
    error = ERROR_SUCCESS;
    if (!GetOverlappedResult(pipe_.get(), &overlapped, &done, FALSE)) {
        error = GetLastError();
        // A message longer than the buffer: the caller reads the rest.
        if (error == ERROR_MORE_DATA)
            return true;
        broken_ = true;
        return false;
    }
    return true;
}

bool RawConnection::Send(const std::string& message, DWORD timeoutMs)
{
    DWORD done = 0;
    DWORD error = ERROR_SUCCESS;
    return Transfer(true, const_cast<char*>(message.data()), static_cast<DWORD>(message.size()), done, timeoutMs,
                    error) &&
           done == message.size();
}

bool RawConnection::Receive(std::string& message, DWORD timeoutMs)
{
    message.clear();
    for (;;) {
        char chunk[4096];
        DWORD done = 0;
        DWORD error = ERROR_SUCCESS;
        if (!Transfer(false, chunk, sizeof(chunk), done, timeoutMs, error))
            return false;
        message.append(chunk, done);
        if (error != ERROR_MORE_DATA)
            return true;
        if (message.size() > rux::MaxFrameBytes) {
            broken_ = true;
            return false;
        }
    }
}

bool RawConnection::ReceiveAck(int32_t& status, uint32_t& value, DWORD timeoutMs)
{
    std::string message;
    if (!Receive(message, timeoutMs))
        return false;
    std::string expected = WireItem::Frame(static_cast<uint8_t>(rux::FrameKind::Ack), 0, std::string(8, '\0'));
    if (message.size() != expected.size() || message.compare(0, 8, expected, 0, 8) != 0 ||
        message.compare(12, 4, expected, 12, 4) != 0)
        return false;
    auto byte = [&](size_t at) { return uint32_t(static_cast<unsigned char>(message[at])); };
    status = static_cast<int32_t>(byte(16) | byte(17) << 8 | byte(18) << 16 | byte(19) << 24);
    value = byte(20) | byte(21) << 8 | byte(22) << 16 | byte(23) << 24;
    return true;
}

bool RawConnection::HandshakeOpen(uint64_t number, const std::string& service, uint32_t& serviceId, DWORD timeoutMs)
{
    // The number, no connections to wait for, the service's name.
    std::string body = WireItem::U32(static_cast<uint32_t>(number)) + WireItem::U32(static_cast<uint32_t>(number >> 32));
    body += '\0';
    body += service;
    int32_t status = 0;
    uint32_t value = 0;
    if (!Send(WireItem::Frame(static_cast<uint8_t>(rux::FrameKind::Open), 0, body), timeoutMs) ||
        !ReceiveAck(status, value, timeoutMs) || status != 0)
        return false;
    serviceId = value;
    return true;
}

bool RawConnection::Handshake(bool peer, const std::string& source, const std::string& service,
                              uint32_t& serviceId, DWORD timeoutMs)
{
    int32_t status = 0;
    uint32_t value = 0;
    std::string hello(1, peer ? '\1' : '\0');
    hello += source;
    if (!Send(WireItem::Frame(static_cast<uint8_t>(rux::FrameKind::Hello), 0, hello), timeoutMs) ||
        !ReceiveAck(status, value, timeoutMs) || status != 0)
        return false;
    if (!Send(WireItem::Frame(static_cast<uint8_t>(rux::FrameKind::OpenService), 0, service), timeoutMs) ||
        !ReceiveAck(status, value, timeoutMs) || status != 0)
        return false;
    serviceId = value;
    return true;
}
