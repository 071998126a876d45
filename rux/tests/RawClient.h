// A client that writes bytes straight into a sink's pipe, as a hostile or
// broken one would, and the frames it writes. Plain Win32: used by the tests
// of the DLL and of the archive alike.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ruxtest {

// The wire as a hostile client writes it.
std::string U32(uint32_t value);
// A frame: magic, kind, flags, reserved, service, length (given or the body's).
std::string RawFrame(uint8_t kind, uint32_t service, const std::string& body);
std::string RawFrame(uint8_t kind, uint32_t service, const std::string& body, uint32_t length);
std::string StringItem(const std::string& text);

// The SID of this process's user, as bytes; empty when it cannot be read.
std::vector<uint8_t> ProcessUserSid();
// A server end of the pipe at `path`, owned by this process's user (as Windows
// owns a pipe by its maker's token, and Wine leaves it without an owner), so
// that our clients trust it as a server of that user. INVALID_HANDLE_VALUE on
// failure.
HANDLE CreateOwnedPipe(const std::wstring& path, DWORD openMode, DWORD pipeMode, DWORD instances);

// A client that writes bytes straight into a sink's pipe. Waits up to 5 s for
// a free instance.
class RawClient {
public:
    explicit RawClient(const std::string& sink);
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;
    bool Open() const { return pipe_ != INVALID_HANDLE_VALUE; }
    HANDLE Pipe() const { return pipe_; }

    bool Write(const std::string& bytes);
    // The next message, or "" after 5 s or when the pipe broke.
    std::string Read();
    // A request and its answer's status, or -1 without an answer.
    int64_t Ask(uint8_t kind, const std::string& body);
    // A plain connection's Hello; true when answered with status 0.
    bool Hello() { return Ask(1, std::string(1, '\0')) == 0; }
    uint32_t ServiceId(const std::string& name);
    // True once the sink has closed its end, within `timeoutMs`.
    bool ClosedBySink(DWORD timeoutMs);

private:
    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    HANDLE event_;
};

}  // namespace ruxtest
