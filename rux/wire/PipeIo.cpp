#include "rux/wire/PipeIo.h"

#include "rux/wire/Frame.h"

namespace rux {
namespace {

// Completes one overlapped operation: `ok`/`error` are what the starting call
// reported. On return `error` is 0 on success, and `bytes` holds the count.
IoResult Complete(HANDLE pipe, OVERLAPPED& overlapped, HANDLE stopEvent, DWORD timeoutMs, BOOL ok, DWORD& error,
                  DWORD& bytes)
{
    if (!ok && error != ERROR_IO_PENDING && error != ERROR_MORE_DATA)
        return IoResult::Ok;  // failed at once; the caller reads `error`
    if (!ok && error == ERROR_IO_PENDING) {
        HANDLE waits[2] = {overlapped.hEvent, stopEvent};
        DWORD wait = WaitForMultipleObjects(stopEvent ? 2 : 1, waits, FALSE, timeoutMs);
        if (wait != WAIT_OBJECT_0) {
            CancelIoEx(pipe, &overlapped);
            GetOverlappedResult(pipe, &overlapped, &bytes, TRUE);
            return wait == WAIT_TIMEOUT ? IoResult::TimedOut
                   : wait == WAIT_OBJECT_0 + 1 ? IoResult::Stopped
                                                : IoResult::Broken;
        }
    }
    error = GetOverlappedResult(pipe, &overlapped, &bytes, FALSE) ? 0 : GetLastError();
    return IoResult::Ok;
}

}  // namespace

IoResult PipeIo::Write(HANDLE pipe, HANDLE ioEvent, HANDLE stopEvent, DWORD timeoutMs, const std::string& message)
{
    OVERLAPPED overlapped = {};
    overlapped.hEvent = ioEvent;
    DWORD bytes = 0;
    BOOL ok = WriteFile(pipe, message.data(), static_cast<DWORD>(message.size()), nullptr, &overlapped);
    DWORD error = ok ? 0 : GetLastError();
    IoResult result = Complete(pipe, overlapped, stopEvent, timeoutMs, ok, error, bytes);
    if (result != IoResult::Ok)
        return result;
    return error == 0 && bytes == message.size() ? IoResult::Ok : IoResult::Broken;
}

IoResult PipeIo::ReadBytes(HANDLE pipe, HANDLE ioEvent, HANDLE stopEvent, DWORD timeoutMs, void* buffer, size_t size)
{
    auto bytes = static_cast<unsigned char*>(buffer);
    ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (size_t done = 0; done < size;) {
        ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return IoResult::TimedOut;
        OVERLAPPED overlapped = {};
        overlapped.hEvent = ioEvent;
        DWORD read = 0;
        BOOL ok = ReadFile(pipe, bytes + done, static_cast<DWORD>(size - done), nullptr, &overlapped);
        DWORD error = ok ? 0 : GetLastError();
        IoResult result = Complete(pipe, overlapped, stopEvent, static_cast<DWORD>(deadline - now), ok, error, read);
        if (result != IoResult::Ok)
            return result;
        if (error != 0 || read == 0)
            return IoResult::Broken;
        done += read;
    }
    return IoResult::Ok;
}

IoResult PipeIo::Read(HANDLE pipe, HANDLE ioEvent, HANDLE stopEvent, DWORD timeoutMs,
                      std::vector<unsigned char>& buffer, size_t& size)
{
    size = 0;
    if (buffer.size() < 4096)
        buffer.resize(4096);
    bool oversized = false;
    bool more = false;
    for (;;) {
        if (more) {
            if (buffer.size() > MaxFrameBytes) {
                // Above the cap: the rest of this message is read and discarded,
                // so that the next message starts clean on the same connection.
                oversized = true;
                size = 0;
            } else if (size == buffer.size()) {
                buffer.resize(buffer.size() * 2 > MaxFrameBytes ? MaxFrameBytes + 1 : buffer.size() * 2);
            }
        }
        OVERLAPPED overlapped = {};
        overlapped.hEvent = ioEvent;
        DWORD bytes = 0;
        BOOL ok = ReadFile(pipe, buffer.data() + size, static_cast<DWORD>(buffer.size() - size), nullptr, &overlapped);
        DWORD error = ok ? 0 : GetLastError();
        IoResult result = Complete(pipe, overlapped, stopEvent, timeoutMs, ok, error, bytes);
        if (result != IoResult::Ok)
            return result;
        size += bytes;
        if (error == 0)
            return oversized ? IoResult::Oversized : IoResult::Ok;
        if (error != ERROR_MORE_DATA)
            return IoResult::Broken;
        more = true;
    }
}

}  // namespace rux
