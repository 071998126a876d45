// The wire form of frames and items, written by hand so that it can also be
// written wrong: any kind byte, any length field, members that are not what
// their count says. The layout is the one rux/wire/Frame.h and rux/item/ItemCodec.h
// describe; the constants come from there.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class WireItem {
public:
    static std::string String(std::string_view text);
    static std::string Blob(std::string_view data);
    static std::string Bool(uint8_t raw);  // 0 or 1 is well-formed
    static std::string Int(int32_t value);
    // An associative item of encoded members: key text (encoded as a string)
    // and value bytes.
    static std::string Assoc(const std::vector<std::pair<std::string, std::string>>& members);
    // Only the head of a list, type and count, and members without a head: a
    // list whose count tells the truth is AssocHead(n) + Members(n members).
    static std::string AssocHead(uint32_t count);
    static std::string Members(const std::vector<std::pair<std::string, std::string>>& members);
    static std::string U32(uint32_t value);

    // A frame with a correct header for `body`.
    static std::string Frame(uint8_t kind, uint32_t service, std::string_view body);
    // Where a frame's service id sits, for frames whose service is patched in
    // once the handshake has told it.
    static constexpr size_t ServiceOffset = 8;
};
