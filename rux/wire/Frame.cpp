#include "rux/wire/Frame.h"

#include <cstring>

namespace rux {
namespace {

void PutU32(char* at, uint32_t value)
{
    at[0] = char(value);
    at[1] = char(value >> 8);
    at[2] = char(value >> 16);
    at[3] = char(value >> 24);
}

uint32_t GetU32(const unsigned char* at)
{
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

void PutU64(std::string& to, uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        to += char(value >> (8 * i));
}

uint64_t GetU64(const unsigned char* at)
{
    return uint64_t(GetU32(at)) | uint64_t(GetU32(at + 4)) << 32;
}

// The longest service name an Open may carry (the names' own limit).
constexpr size_t MaxOpenNameBytes = 128;

}  // namespace

std::string Frame::Make(FrameKind kind, uint32_t service, const std::string& body)
{
    std::string frame(FrameHeaderBytes, '\0');
    PutU32(&frame[0], FrameMagic);
    frame[4] = static_cast<char>(kind);
    PutU32(&frame[8], service);
    PutU32(&frame[12], static_cast<uint32_t>(body.size()));
    frame += body;
    return frame;
}

std::string Frame::MakeAck(int32_t status, uint32_t value)
{
    std::string body(8, '\0');
    PutU32(&body[0], static_cast<uint32_t>(status));
    PutU32(&body[4], value);
    return Make(FrameKind::Ack, 0, body);
}

std::string Frame::MakeGoing()
{
    return Make(FrameKind::Going, 0, std::string(8, '\0'));
}

bool Frame::Parse(const void* data, size_t size, FrameView& frame)
{
    auto bytes = static_cast<const unsigned char*>(data);
    if (size < FrameHeaderBytes || size > MaxFrameBytes || GetU32(bytes) != FrameMagic || bytes[5] != 0 ||
        bytes[6] != 0 || bytes[7] != 0 || GetU32(bytes + 12) != size - FrameHeaderBytes)
        return false;
    frame.kind = static_cast<FrameKind>(bytes[4]);
    frame.service = GetU32(bytes + 8);
    frame.body = bytes + FrameHeaderBytes;
    frame.bodySize = size - FrameHeaderBytes;
    return true;
}

std::string Frame::MakeOpenBody(const OpenRequest& open)
{
    std::string body;
    body.reserve(9 + 8 * open.awaited.size() + open.service.size());
    PutU64(body, open.connection);
    body += char(open.awaited.size());
    for (uint64_t awaited : open.awaited)
        PutU64(body, awaited);
    body += open.service;
    return body;
}

bool Frame::ParseOpen(const FrameView& frame, OpenRequest& open)
{
    if (frame.kind != FrameKind::Open || frame.bodySize < 9)
        return false;
    size_t count = frame.body[8];
    size_t names = 9 + 8 * count;
    if (count > MaxAwaitedConnections || frame.bodySize < names || frame.bodySize - names > MaxOpenNameBytes)
        return false;
    open.connection = GetU64(frame.body);
    open.awaited.clear();
    for (size_t i = 0; i < count; ++i)
        open.awaited.push_back(GetU64(frame.body + 9 + 8 * i));
    open.service.assign(reinterpret_cast<const char*>(frame.body) + names, frame.bodySize - names);
    return true;
}

bool Frame::ParseAck(const FrameView& frame, int32_t& status, uint32_t& value)
{
    if (frame.kind != FrameKind::Ack || frame.bodySize != 8)
        return false;
    status = static_cast<int32_t>(GetU32(frame.body));
    value = GetU32(frame.body + 4);
    return true;
}

}  // namespace rux
