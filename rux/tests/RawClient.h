// A client that writes bytes straight into a sink's pipe, as a hostile or
// broken one would, the frames it writes, and the pipes and names the tests of
// the DLL and of the archive share. Plain Win32: used by both test programs.
#pragma once

#include "base/UniqueHandle.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ruxtest {

// A sink name no other test process uses: "RuxT<pid>.<tag>.<n>".
std::string UniqueName(const char* tag);

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
// that our clients trust it as a server of that user. Invalid on failure.
UniquePipe CreateOwnedPipe(const std::wstring& path, DWORD openMode, DWORD pipeMode, DWORD instances);
// A client end of sink `sink`'s pipe, opened with `access` and `flags`;
// waits up to 5 s for a free instance. Invalid on failure.
UniquePipe OpenSinkPipe(const std::string& sink, DWORD access, DWORD flags);
// One overlapped read or write of up to `size` bytes on `pipe` (either end),
// with `event` (manual-reset); cancelled and waited for when it does not end
// within `timeoutMs` (`error` ERROR_TIMEOUT). True when it ended well; a read
// of part of a longer message ends well with `error` ERROR_MORE_DATA.
bool Transfer(HANDLE pipe, HANDLE event, bool write, void* data, DWORD size, DWORD timeoutMs, DWORD& done,
              DWORD& error);

// A client that writes bytes straight into a sink's pipe. Waits up to 5 s for
// a free instance.
class RawClient {
public:
    explicit RawClient(const std::string& sink);
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;
    bool Open() const { return pipe_.valid(); }
    HANDLE Pipe() const { return pipe_.get(); }

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
    UniquePipe pipe_;
    UniqueEvent event_;
};

}  // namespace ruxtest
