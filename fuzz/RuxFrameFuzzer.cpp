// Frames as a sink or a client receives them from the pipe (Frame::Parse,
// Frame::ParseAck, Frame::ParseOpen), and the names carried by Hello,
// OpenService and Open.
//
// Properties:
// - Parse accepts exactly the frames of the header rule (size within
//   [header, MaxFrameBytes], magic, zero flags and reserved bytes, a length
//   equal to the body), and what it accepts is rebuilt byte for byte by
//   Frame::Make from the fields it reported.
// - ParseAck accepts exactly the Ack frames with an 8-byte body, and
//   Frame::MakeAck rebuilds them byte for byte (but for the service field,
//   which an Ack does not use).
// - ParseOpen accepts exactly the Open frames whose body holds a connection
//   number, a count of at most MaxAwaitedConnections, that many numbers and a
//   name of at most 128 bytes, and Frame::MakeOpenBody rebuilds the body byte
//   for byte from what it read.
// - The same bytes taken as the fields of a frame to send (kind, service,
//   body) make a frame that parses back to those fields.
// - An item body that decodes re-encodes to the same bytes.
// - A name is valid exactly when it has 1 to 128 printable ASCII characters
//   without '\' and '/'; the pipe path of a valid name is the fixed prefix and
//   the name.
#include "FuzzSupport.h"

#include "rux/wire/Frame.h"
#include "rux/item/ItemCodec.h"
#include "rux/wire/SinkName.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

using namespace rux;

namespace {

uint32_t LoadU32(const uint8_t* at)
{
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

bool HeaderRuleHolds(const uint8_t* data, size_t size)
{
    return size >= FrameHeaderBytes && size <= MaxFrameBytes && LoadU32(data) == FrameMagic && data[5] == 0 &&
           data[6] == 0 && data[7] == 0 && LoadU32(data + 12) == size - FrameHeaderBytes;
}

bool IsMessageKind(FrameKind kind)
{
    return kind == FrameKind::Call || kind == FrameKind::Query || kind == FrameKind::Advise ||
           kind == FrameKind::Update || kind == FrameKind::Reply;
}

void CheckParse(const uint8_t* data, size_t size)
{
    FrameView frame{};
    bool parsed = Frame::Parse(data, size, frame);
    FUZZ_CHECK(parsed == HeaderRuleHolds(data, size), "Parse accepts exactly the frames of the header rule");
    if (!parsed)
        return;
    FUZZ_CHECK(frame.body == data + FrameHeaderBytes && frame.bodySize == size - FrameHeaderBytes,
               "the body is what follows the header");
    FUZZ_CHECK(static_cast<uint8_t>(frame.kind) == data[4] && frame.service == LoadU32(data + 8),
               "kind and service are read from the header");
    std::string body(reinterpret_cast<const char*>(frame.body), frame.bodySize);
    std::string remade = Frame::Make(frame.kind, frame.service, body);
    FUZZ_CHECK(remade.size() == size && std::memcmp(remade.data(), data, size) == 0,
               "Make rebuilds a parsed frame byte for byte");

    int32_t status = 0;
    uint32_t value = 0;
    bool ack = Frame::ParseAck(frame, status, value);
    FUZZ_CHECK(ack == (frame.kind == FrameKind::Ack && frame.bodySize == 8),
               "ParseAck accepts exactly an Ack with an 8-byte body");
    if (ack) {
        // An Ack's service field is not used; MakeAck writes 0 there.
        std::string remadeAck = Frame::MakeAck(status, value);
        std::string received(reinterpret_cast<const char*>(data), size);
        received.replace(8, 4, 4, '\0');
        FUZZ_CHECK(remadeAck == received, "MakeAck rebuilds a parsed Ack byte for byte, but for its service field");
    }

    OpenRequest open;
    bool opened = Frame::ParseOpen(frame, open);
    bool openRule = frame.kind == FrameKind::Open && frame.bodySize >= 9 &&
                    frame.body[8] <= MaxAwaitedConnections && frame.bodySize >= 9 + 8 * size_t(frame.body[8]) &&
                    frame.bodySize - 9 - 8 * size_t(frame.body[8]) <= 128;
    FUZZ_CHECK(opened == openRule, "ParseOpen accepts exactly the Open bodies of the rule");
    if (opened)
        FUZZ_CHECK(Frame::MakeOpenBody(open) == body, "MakeOpenBody rebuilds a parsed Open body byte for byte");

    if (IsMessageKind(frame.kind)) {
        ItemPtr item;
        if (ItemCodec::Decode(frame.body, frame.bodySize, item)) {
            std::string encoded;
            ItemCodec::Encode(*item, encoded);
            FUZZ_CHECK(encoded == body, "a decoded message body re-encodes to the same bytes");
        }
    }
}

void CheckMake(const uint8_t* data, size_t size)
{
    if (size < 5)
        return;
    auto kind = static_cast<FrameKind>(data[0]);
    uint32_t service = LoadU32(data + 1);
    std::string body(reinterpret_cast<const char*>(data + 5), size - 5);
    std::string frame = Frame::Make(kind, service, body);
    FUZZ_CHECK(frame.size() == FrameHeaderBytes + body.size(), "Make adds exactly one header");
    FrameView view{};
    FUZZ_CHECK(Frame::Parse(frame.data(), frame.size(), view), "a frame that Make built parses");
    FUZZ_CHECK(view.kind == kind && view.service == service && view.bodySize == body.size() &&
                   std::memcmp(view.body, body.data(), body.size()) == 0,
               "a made frame parses back to its fields");
}

bool NameRuleHolds(const std::string& name)
{
    if (name.empty() || name.size() > 128)
        return false;
    for (unsigned char c : name) {
        if (c < 0x20 || c > 0x7E || c == '\\' || c == '/')
            return false;
    }
    return true;
}

void CheckName(const uint8_t* data, size_t size)
{
    // A C string, as the exports receive names: up to the first zero byte.
    std::string name(reinterpret_cast<const char*>(data), size);
    name.resize(std::strlen(name.c_str()));
    bool valid = SinkName::Valid(name.c_str());
    FUZZ_CHECK(valid == NameRuleHolds(name), "a name is valid exactly when it follows the name rule");
    if (!valid)
        return;
    std::wstring expected = L"\\\\.\\pipe\\Rux.Sink." + std::wstring(name.begin(), name.end());
    FUZZ_CHECK(SinkName::PipePath(name) == expected, "the pipe path is the fixed prefix and the name");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CheckParse(data, size);
    CheckMake(data, size);
    // The name a Hello (after its role byte), an OpenService or an Open
    // (after its numbers) carries.
    if (size > FrameHeaderBytes) {
        size_t at = FrameHeaderBytes;
        if (data[4] == static_cast<uint8_t>(FrameKind::Hello))
            at += 1;
        else if (data[4] == static_cast<uint8_t>(FrameKind::Open) && size > FrameHeaderBytes + 8)
            at += 9 + 8 * size_t(data[FrameHeaderBytes + 8]);
        if (at <= size)
            CheckName(data + at, size - at);
    }
    return 0;
}
