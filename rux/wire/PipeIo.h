// Overlapped reads and writes of whole messages on a message-mode pipe, with a
// time-out and an optional stop event, shared by both ends.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace rux {

enum class IoResult {
    Ok,
    Broken,     // the other end went away, or the I/O failed
    TimedOut,
    Stopped,    // the stop event was set
    Oversized,  // a message above MaxFrameBytes was read and thrown away
};

class PipeIo {
public:
    // `ioEvent` is a manual-reset event of the caller, used for one I/O at a
    // time. A pending I/O that is abandoned is cancelled and waited for, so the
    // buffer is never written after the call returns.
    static IoResult Write(HANDLE pipe, HANDLE ioEvent, HANDLE stopEvent, DWORD timeoutMs, const std::string& message);
    // Reads one message into `buffer` (grown as needed); `size` receives its length.
    static IoResult Read(HANDLE pipe, HANDLE ioEvent, HANDLE stopEvent, DWORD timeoutMs,
                         std::vector<unsigned char>& buffer, size_t& size);
    // Reads exactly `size` bytes into `buffer` from a pipe end in byte-read
    // mode, where messages are a stream of bytes. The time-out is the whole
    // read's, however the other end portions the bytes: a server that drips
    // them cannot stretch it.
    static IoResult ReadBytes(HANDLE pipe, HANDLE ioEvent, HANDLE stopEvent, DWORD timeoutMs, void* buffer,
                              size_t size);
};

}  // namespace rux
