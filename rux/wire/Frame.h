// One pipe message = one frame: a 16-byte header and a body.
//   magic:u32 'RUX1' | kind:u8 | flags:u8 (0) | reserved:u16 (0) | service:u32 | length:u32
// `length` is the body size and must match the message exactly. Requests
// (Hello, OpenService, Bye, Ping, Open) are answered with an Ack; messages for
// a service (Call to Reply) are not, so that a sender never waits for the
// receiver's application. Bye's Ack proves that everything sent before it on
// that connection has been queued.
//
// A connection's first frame is its Hello or its Open. A peer says Hello when
// it connects; a plain connection says nothing until its first service is
// opened, and then greets and looks the service up in one exchange, Open.
// Open also names the connections of the same process to this sink that the
// client closed without waiting (each by the number its own Open gave it):
// the Ack comes only once they have ended, that is once the sink has read,
// and queued, everything they carried. So a close needs no exchange of its
// own, and what a process sent before a close is queued before what it sends
// after it.
//
// A sink that stops says Going, unasked, on each connection it still serves,
// and then waits a moment for the client to close its end (a pipe's name lives
// on while any client end of it is open). Going has an Ack's size, so that a
// client waiting for an Ack reads it whole; a client that does not know it
// reads something that is not an Ack, which breaks the connection as well.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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
    Open = 5,         // body: see OpenRequest; Ack value: the service id (0 for no name)
    Call = 16,        // body of these five: one encoded item; header: service id
    Query = 17,
    Advise = 18,
    Update = 19,
    Reply = 20,
    Ack = 0x80,       // body: status:i32 (0 or a Win32 error), value:u32
    Going = 0x81,     // sink to client, unasked: body as an Ack's, all zero
};

struct FrameView {
    FrameKind kind;
    uint32_t service;
    const unsigned char* body;
    size_t bodySize;
};

// An Ack as it goes over the wire.
constexpr size_t AckFrameBytes = FrameHeaderBytes + 8;

// The most closed connections one Open names.
constexpr size_t MaxAwaitedConnections = 16;

// The body of an Open:
//   connection:u64 | count:u8 | count x awaited:u64 | service name (the rest)
// `connection` numbers the connection among its process's (0: none; only the
// greeting Open's counts); `awaited` are earlier connections of the process
// to wait for; an empty name opens no service.
struct OpenRequest {
    uint64_t connection = 0;
    std::vector<uint64_t> awaited;
    std::string service;
};

class Frame {
public:
    static std::string Make(FrameKind kind, uint32_t service, const std::string& body);
    static std::string MakeAck(int32_t status, uint32_t value);
    static std::string MakeGoing();
    // False for anything shorter than a header, with a wrong magic, non-zero
    // flags or a length that does not match `size`.
    static bool Parse(const void* data, size_t size, FrameView& frame);
    static bool ParseAck(const FrameView& frame, int32_t& status, uint32_t& value);
    // The body of an Open. Throws std::bad_alloc.
    static std::string MakeOpenBody(const OpenRequest& open);
    // False for an Open body that is too short, names more than
    // MaxAwaitedConnections, or a service name longer than 128 bytes. May throw
    // std::bad_alloc.
    static bool ParseOpen(const FrameView& frame, OpenRequest& open);
};

}  // namespace rux
