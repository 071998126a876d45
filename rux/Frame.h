// One pipe message = one frame: a 16-byte header and a body.
//   magic:u32 'RUX1' | kind:u8 | flags:u8 (0) | reserved:u16 (0) | service:u32 | length:u32
// `length` is the body size and must match the message exactly. Requests
// (Hello, OpenService, Bye, Ping) are answered with an Ack; messages for a
// service (Call to Reply) are not, so that a sender never waits for the
// receiver's application. Bye's Ack proves that everything sent before it on
// that connection has been queued.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace rux {

// Frames above this size are refused by the sender and dropped by the receiver.
constexpr size_t MaxFrameBytes = 1u << 20;
constexpr size_t FrameHeaderBytes = 16;
constexpr uint32_t FrameMagic = 0x31585552;  // "RUX1"

enum class FrameKind : uint8_t {
    Hello = 1,        // body: role:u8 (0 connection, 1 peer), then the source sink name
    OpenService = 2,  // body: service name; Ack value: the service id
    Bye = 3,
    Ping = 4,
    Call = 16,        // body of these five: one encoded item; header: service id
    Query = 17,
    Advise = 18,
    Update = 19,
    Reply = 20,
    Ack = 0x80,       // body: status:i32 (0 or a Win32 error), value:u32
};

struct FrameView {
    FrameKind kind;
    uint32_t service;
    const unsigned char* body;
    size_t bodySize;
};

class Frame {
public:
    static std::string Make(FrameKind kind, uint32_t service, const std::string& body);
    static std::string MakeAck(int32_t status, uint32_t value);
    // False for anything shorter than a header, with a wrong magic, non-zero
    // flags or a length that does not match `size`.
    static bool Parse(const void* data, size_t size, FrameView& frame);
    static bool ParseAck(const FrameView& frame, int32_t& status, uint32_t& value);
};

}  // namespace rux
