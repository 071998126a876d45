#include "tools/olvlog/JsonLine.h"

namespace {

void AppendEscape(std::string& out, uint32_t unit)
{
    static const char hex[] = "0123456789abcdef";
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4)
        out.push_back(hex[(unit >> shift) & 15]);
}

void AppendUtf8(std::string& out, uint32_t code)
{
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | code >> 6));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | code >> 12));
        out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | code >> 18));
        out.push_back(static_cast<char>(0x80 | (code >> 12 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

bool IsHighSurrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void AppendNumber(std::string& out, const char* name, const LogLinePrefix* prefix, uint32_t value)
{
    out += name;
    out += prefix != nullptr ? std::to_string(value) : "null";
}

}  // namespace

void AppendJsonString(std::string& out, const std::wstring& text)
{
    out.push_back('"');
    for (size_t i = 0; i < text.size(); ++i) {
        const uint32_t unit = static_cast<uint16_t>(text[i]);
        switch (unit) {
        case '"': out += "\\\""; continue;
        case '\\': out += "\\\\"; continue;
        case '\b': out += "\\b"; continue;
        case '\f': out += "\\f"; continue;
        case '\n': out += "\\n"; continue;
        case '\r': out += "\\r"; continue;
        case '\t': out += "\\t"; continue;
        default: break;
        }
        if (unit < 0x20 || unit == 0x2028 || unit == 0x2029) {
            AppendEscape(out, unit);
        } else if (IsHighSurrogate(unit) && i + 1 < text.size() && IsLowSurrogate(static_cast<uint16_t>(text[i + 1]))) {
            const uint32_t low = static_cast<uint16_t>(text[++i]);
            AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
            AppendEscape(out, unit);
        } else {
            AppendUtf8(out, unit);
        }
    }
    out.push_back('"');
}

std::string JsonLine(const LogLinePrefix* prefix, const std::wstring& text)
{
    const LogLinePrefix none;
    const LogLinePrefix& fields = prefix != nullptr ? *prefix : none;
    std::string out;
    out.reserve(text.size() + 80);
    AppendNumber(out, "{\"tick\":", prefix, fields.tick);
    AppendNumber(out, ",\"pid\":", prefix, fields.pid);
    AppendNumber(out, ",\"tid\":", prefix, fields.tid);
    AppendNumber(out, ",\"level\":", prefix, fields.level);
    out += ",\"text\":";
    AppendJsonString(out, text);
    out.push_back('}');
    return out;
}
