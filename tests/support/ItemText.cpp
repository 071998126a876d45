#include "tests/support/ItemText.h"

#include "contracts/RuxStringText.h"

#include <cstdio>
#include <vector>

namespace testsupport {

namespace {

std::string BlobText(RuxItem item)
{
    std::vector<unsigned char> data(0xFFFF);
    uint16_t length = 0;
    if (RuxCopyBlob(item, data.data(), &length, 0xFFFF) != 0)
        return "<invalid blob>";
    std::string text = "blob\"";
    for (uint16_t i = 0; i < length; ++i) {
        if (data[i] >= 0x20 && data[i] < 0x7F && data[i] != '"' && data[i] != '\\') {
            text.push_back(static_cast<char>(data[i]));
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", data[i]);
            text += escaped;
        }
    }
    return text + "\"";
}

}  // namespace

std::string ItemText(RuxItem item)
{
    int32_t type = 0;
    if (item == nullptr || RuxGetType(item, &type) != 0)
        return "<invalid>";
    switch (type) {
    case RuxType_String: {
        std::string text(1, '"');
        text.append(RuxStringText(item));
        text.push_back('"');
        return text;
    }
    case RuxType_Blob:
        return BlobText(item);
    case RuxType_Bool: {
        int32_t value = 0;
        RuxGetBool(item, &value);
        return value ? "true" : "false";
    }
    case RuxType_Int32: {
        int32_t value = 0;
        RuxGetInt(item, &value);
        return std::to_string(value);
    }
    case RuxType_Assoc: {
        uint16_t count = 0;
        RuxGetLen(item, &count);
        std::string text = "{";
        for (uint16_t i = 0; i < count; ++i) {
            RuxItem key = nullptr;
            RuxItem value = nullptr;
            RuxGetNthKey(item, i, &key);
            RuxGetAt(item, key, &value);
            if (i)
                text.push_back(',');
            text.append(RuxStringText(key));
            text.push_back(':');
            text.append(ItemText(value));
            RuxReleaseItem(value);
            RuxReleaseItem(key);
        }
        return text + "}";
    }
    default:
        return "<type " + std::to_string(type) + ">";
    }
}

}  // namespace testsupport
