#include "runtime/CodePageConverter.h"

#include <windows.h>

#include <climits>
#include <cstring>
#include <stdexcept>

namespace {

// The system conversions count in int; a longer text cannot be passed whole,
// and converting a cut-off part would lose text silently.
int ConversionLength(std::size_t length)
{
    if (length > static_cast<std::size_t>(INT_MAX))
        throw std::length_error("CodePageConverter: text too long to convert");
    return static_cast<int>(length);
}

// A narrow text never yields more UTF-16 units than it has bytes, so one
// buffer of that size and one call suffice.
std::wstring NarrowToWide(UINT codePage, const char* text, std::size_t length)
{
    if (length == 0)
        return std::wstring();
    const int inputLength = ConversionLength(length);
    std::wstring wide(length, L'\0');
    int converted = MultiByteToWideChar(codePage, 0, text, inputLength, wide.data(), inputLength);
    wide.resize(converted > 0 ? static_cast<std::size_t>(converted) : 0);
    return wide;
}

std::string WideToNarrow(UINT codePage, std::wstring_view text)
{
    if (text.empty())
        return std::string();
    const int inputLength = ConversionLength(text.size());
    int needed = WideCharToMultiByte(codePage, 0, text.data(), inputLength, nullptr, 0, nullptr, nullptr);
    if (needed <= 0)
        return std::string();
    std::string narrow(static_cast<std::size_t>(needed), '\0');
    int converted = WideCharToMultiByte(codePage, 0, text.data(), inputLength, narrow.data(), needed, nullptr, nullptr);
    if (converted != needed)
        return std::string();
    return narrow;
}

}  // namespace

std::string CodePageConverter::ToUtf8(const std::string& text) const
{
    return CodePageConverter(CP_UTF8).FromWide(ToWide(text));
}

std::wstring CodePageConverter::ToWide(const std::string& text) const
{
    return NarrowToWide(codePage, text.data(), text.size());
}

std::string CodePageConverter::FromWide(const std::wstring& text) const
{
    return WideToNarrow(codePage, text);
}

std::string CodePageConverter::FromUtf8(const std::string& text) const
{
    return FromWide(CodePageConverter(CP_UTF8).ToWide(text));
}

std::wstring AnsiToWide(const char* text)
{
    if (!text)
        return std::wstring();
    return NarrowToWide(CP_ACP, text, strlen(text));
}

std::string WideToAnsi(const std::wstring& text)
{
    return CodePageConverter(CP_ACP).FromWide(text);
}

std::string WideToUtf8(std::wstring_view text)
{
    return WideToNarrow(CP_UTF8, text);
}
