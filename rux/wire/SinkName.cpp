#include "rux/wire/SinkName.h"

#include <cstring>

namespace rux {
namespace {

std::wstring Widen(const std::string& name)
{
    // Valid names are ASCII: widening is a plain copy.
    return std::wstring(name.begin(), name.end());
}

}  // namespace

bool SinkName::Valid(const char* name)
{
    if (!name)
        return false;
    size_t length = std::strlen(name);
    if (length == 0 || length > 128)
        return false;
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c < 0x20 || c > 0x7E || c == '\\' || c == '/')
            return false;
    }
    return true;
}

std::wstring SinkName::PipePath(const std::string& name)
{
    return L"\\\\.\\pipe\\Rux.Sink." + Widen(name);
}

std::wstring SinkName::MutexName(const std::string& name)
{
    return L"Global\\Rux.Sink." + Widen(name);
}

}  // namespace rux
