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

bool SinkName::SessionOf(const std::string& name, unsigned long& session)
{
    static const char prefix[] = "qclient(";
    constexpr size_t prefixLength = sizeof prefix - 1;
    if (name.size() < prefixLength + 2 || name.size() > prefixLength + 11 || name.back() != ')')
        return false;
    for (size_t i = 0; i < prefixLength; ++i) {
        char c = name[i];
        if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != prefix[i])
            return false;
    }
    unsigned long long number = 0;
    for (size_t i = prefixLength; i + 1 < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9')
            return false;
        number = number * 10 + static_cast<unsigned>(name[i] - '0');
    }
    if (number > 0xFFFFFFFFull)
        return false;
    session = static_cast<unsigned long>(number);
    return true;
}

}  // namespace rux
