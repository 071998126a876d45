// Conversion between narrow text in one code page and wide (UTF-16) text, with
// UTF-8 as the pivot for re-encoding, and the two shortcuts for the system's
// ANSI code page.
//
// No conversion reports an error: empty input and every failure of the system
// conversion give an empty string. A character that the target code page
// cannot represent becomes that code page's default character ("?" for the
// ANSI code pages). Throws std::length_error for an input longer than the
// system conversion takes (INT_MAX units), and std::bad_alloc.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class CodePageConverter {
public:
    // 0 (CP_ACP) is the system's ANSI code page, 65001 (CP_UTF8) is UTF-8.
    explicit CodePageConverter(std::uint32_t codePage) noexcept : codePage(codePage) {}
    virtual ~CodePageConverter() = default;

    CodePageConverter(const CodePageConverter&) = default;
    CodePageConverter& operator=(const CodePageConverter&) = default;

    // Narrow text in this code page to UTF-8.
    virtual std::string ToUtf8(const std::string& text) const;
    // Narrow text in this code page to UTF-16.
    virtual std::wstring ToWide(const std::string& text) const;
    // UTF-16 to narrow text in this code page.
    virtual std::string FromWide(const std::wstring& text) const;
    // UTF-8 to narrow text in this code page.
    virtual std::string FromUtf8(const std::string& text) const;

    std::uint32_t CodePage() const noexcept { return codePage; }

private:
    std::uint32_t codePage;
};

// A zero-terminated text in the ANSI code page (null allowed: empty result) to UTF-16.
std::wstring AnsiToWide(const char* text);

// UTF-16 to the ANSI code page; FromWide of a converter for code page 0.
std::string WideToAnsi(const std::wstring& text);

// UTF-16 to UTF-8; a surrogate without its partner becomes U+FFFD.
std::string WideToUtf8(std::wstring_view text);
