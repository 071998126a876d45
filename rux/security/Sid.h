// A security identifier held by value: identities read from tokens, pipes and
// sessions stay comparable after the token or descriptor they came from is
// closed.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace rux {

class Sid {
public:
    Sid() = default;
    // A copy of `sid`; empty when it is null or not a valid SID.
    static Sid Copy(PSID sid);
    static Sid WellKnown(WELL_KNOWN_SID_TYPE type);
    // "S-1-5-18" and the like; empty when malformed.
    static Sid Parse(const char* text);

    bool Empty() const { return bytes_.empty(); }
    // Null when empty; valid while this object lives unchanged.
    PSID Get() const;
    DWORD Length() const { return static_cast<DWORD>(bytes_.size()); }
    // "S-1-5-18", or "(unknown)" when empty.
    std::string Text() const;

    // Two empty SIDs are equal; an empty one equals no valid one.
    bool operator==(const Sid& other) const { return bytes_ == other.bytes_; }
    bool operator!=(const Sid& other) const { return bytes_ != other.bytes_; }

private:
    std::vector<unsigned char> bytes_;
};

}  // namespace rux
