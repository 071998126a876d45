// One client connection to a sink's pipe, spoken by hand: whatever bytes the
// fuzzer chose go out as one pipe message each. Every wait is bounded by the
// time-out given; a connection that failed once stays broken.
#pragma once

#include "base/UniqueHandle.h"

#include <windows.h>

#include <cstdint>
#include <string>

class RawConnection {
public:
    RawConnection() = default;
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;
    RawConnection(RawConnection&& other) noexcept = default;
    RawConnection& operator=(RawConnection&& other) noexcept = default;

    // Opens the pipe of sink `sinkName`, waiting up to busyWaitMs for a free
    // instance as a genuine client does. False with the system error:
    // ERROR_PIPE_BUSY when every instance stayed taken, ERROR_FILE_NOT_FOUND
    // when the sink is not there.
    bool Open(const std::string& sinkName, DWORD busyWaitMs, DWORD& error);
    // A genuine handshake: Hello (connection or peer, naming `source`), then
    // OpenService; `serviceId` receives the service's id. False when an answer
    // is missing or refuses.
    bool Handshake(bool peer, const std::string& source, const std::string& service, uint32_t& serviceId,
                   DWORD timeoutMs);
    // A plain connection's genuine handshake as Rux.dll makes it: one Open,
    // numbering the connection `number` and opening `service`.
    bool HandshakeOpen(uint64_t number, const std::string& service, uint32_t& serviceId, DWORD timeoutMs);
    // Writes one message. False when the pipe broke or the write did not end
    // within the time-out (the connection is then broken).
    bool Send(const std::string& message, DWORD timeoutMs);
    // Reads one message (of any size). False when the pipe broke or nothing
    // came within the time-out.
    bool Receive(std::string& message, DWORD timeoutMs);
    // Reads one Ack; false when none came or the message was not an Ack.
    bool ReceiveAck(int32_t& status, uint32_t& value, DWORD timeoutMs);
    // Closes the pipe at once, without a Bye.
    void Drop();

    bool IsOpen() const { return pipe_.valid() && !broken_; }

private:
    // One overlapped read or write, cancelled and waited for when it does not
    // end in time, so that `buffer` is never touched after the call.
    bool Transfer(bool write, void* buffer, DWORD size, DWORD& done, DWORD timeoutMs, DWORD& error);

    UniquePipe pipe_;
    UniqueEvent event_;  // manual-reset, one I/O at a time
    bool broken_ = false;
};
