#include "rux/security/Sid.h"

#include <sddl.h>

namespace rux {

Sid Sid::Copy(PSID sid)
{
    Sid copy;
    if (!sid || !IsValidSid(sid))
        return copy;
    const unsigned char* bytes = static_cast<const unsigned char*>(sid);
    copy.bytes_.assign(bytes, bytes + GetLengthSid(sid));
    return copy;
}

Sid Sid::WellKnown(WELL_KNOWN_SID_TYPE type)
{
    unsigned char buffer[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof buffer;
    if (!CreateWellKnownSid(type, nullptr, buffer, &size))
        return Sid();
    return Copy(buffer);
}

Sid Sid::Parse(const char* text)
{
    PSID sid = nullptr;
    if (!text || !ConvertStringSidToSidA(text, &sid))
        return Sid();
    Sid copy = Copy(sid);
    LocalFree(sid);
    return copy;
}

PSID Sid::Get() const
{
    return bytes_.empty() ? nullptr : const_cast<unsigned char*>(bytes_.data());
}

std::string Sid::Text() const
{
    char* text = nullptr;
    if (bytes_.empty() || !ConvertSidToStringSidA(Get(), &text))
        return "(unknown)";
    std::string copy(text);
    LocalFree(text);
    return copy;
}

}  // namespace rux
