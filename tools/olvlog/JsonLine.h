// A log line as one JSON object, for scripts that read olvlog --json.
#pragma once

#include "log/reader/LogRecordDecoder.h"

#include <string>

// {"tick":N,"pid":N,"tid":N,"level":N,"text":"..."} in UTF-8, without a line
// end. The four numbers are those of the line's prefix (decimal), or null when
// the line has none; text is the message after the prefix.
std::string JsonLine(const LogLinePrefix* prefix, const std::wstring& text);

// Appends UTF-16 text as a JSON string, quotes included: every character in
// UTF-8, except quote, backslash and the control characters (escaped), U+2028
// and U+2029 (escaped, for JavaScript readers), and any surrogate without its
// partner, which has no UTF-8 form and is kept as its \uXXXX escape.
void AppendJsonString(std::string& out, const std::wstring& text);
