#include "tools/ruxui-console/ItemJson.h"

#include "runtime/CodePageConverter.h"
#include "contracts/RuxStringText.h"

#include <windows.h>

#include <cstdio>
#include <vector>

namespace {

void Append(RuxItem item, std::string& out)
{
    int32_t type = 0;
    if (RuxGetType(item, &type) != 0) {
        out += "null";
        return;
    }
    switch (type) {
    case RuxType_String:
        out += ItemJson::Quote(RuxStringText(item));
        break;
    case RuxType_Bool: {
        int32_t value = 0;
        RuxGetBool(item, &value);
        out += value ? "true" : "false";
        break;
    }
    case RuxType_Int32: {
        int32_t value = 0;
        RuxGetInt(item, &value);
        out += std::to_string(value);
        break;
    }
    case RuxType_Blob: {
        std::vector<unsigned char> data(0xFFFF);
        uint16_t length = 0;
        out += "{\"$blob\":\"";
        if (RuxCopyBlob(item, data.data(), &length, 0xFFFF) == 0) {
            static const char digits[] = "0123456789abcdef";
            for (uint16_t i = 0; i < length; ++i) {
                out.push_back(digits[data[i] >> 4]);
                out.push_back(digits[data[i] & 15]);
            }
        }
        out += "\"}";
        break;
    }
    case RuxType_Assoc: {
        uint16_t count = 0;
        RuxGetLen(item, &count);
        out.push_back('{');
        for (uint16_t i = 0; i < count; ++i) {
            RuxItem key = nullptr;
            RuxItem value = nullptr;
            if (RuxGetNthKey(item, i, &key) != 0 || RuxGetAt(item, key, &value) != 0) {
                RuxReleaseItem(key);
                continue;
            }
            if (out.back() != '{')
                out.push_back(',');
            out += ItemJson::Quote(RuxStringText(key));
            out.push_back(':');
            Append(value, out);
            RuxReleaseItem(value);
            RuxReleaseItem(key);
        }
        out.push_back('}');
        break;
    }
    default:
        out += "{\"$type\":" + std::to_string(type) + "}";
        break;
    }
}

}  // namespace

std::string ItemJson::Quote(const std::string& text)
{
    std::string utf8 = CodePageConverter(CP_ACP).ToUtf8(text);
    std::string out = "\"";
    for (unsigned char c : utf8) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    out.push_back('"');
    return out;
}

std::string ItemJson::Format(RuxItem item)
{
    std::string out;
    Append(item, out);
    return out;
}
