#include "tools/ruxui-console/ConsoleCommand.h"

#include <sstream>

namespace {

bool ParseBool(const std::string& text, bool& value)
{
    if (text == "true" || text == "on" || text == "1") {
        value = true;
        return true;
    }
    if (text == "false" || text == "off" || text == "0") {
        value = false;
        return true;
    }
    return false;
}

// Command and setting names: letters, digits and '_' (they travel as items
// and must read back byte for byte).
bool ValidName(const std::string& text)
{
    if (text.empty() || text.size() > 200)
        return false;
    for (char c : text) {
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'))
            return false;
    }
    return true;
}

bool ParseMilliseconds(const std::string& text, uint32_t& value)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = static_cast<uint32_t>(std::stoul(text));
    return true;
}

}  // namespace

bool ConsoleCommand::Parse(const std::string& line, ConsoleCommand& command, std::string& error)
{
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    ConsoleCommand parsed;
    if (words.empty() || words[0][0] == '#') {
        command = parsed;
        return true;
    }
    const std::string& verb = words[0];
    if (verb == "enable") {
        if (words.size() != 2 || !ParseBool(words[1], parsed.flag)) {
            error = "usage: enable true|false";
            return false;
        }
        parsed.kind = Kind::Enable;
    } else if (verb == "call") {
        if (words.size() != 2 || !ValidName(words[1])) {
            error = "usage: call NAME (for example: call ClearVirtualData, call ShutDownSB)";
            return false;
        }
        parsed.kind = Kind::Call;
        parsed.name = words[1];
    } else if (verb == "query") {
        if (words.size() < 2 || !ValidName(words[1])) {
            error = "usage: query NAME [SETTING=true|false ...]";
            return false;
        }
        parsed.kind = Kind::Query;
        parsed.name = words[1];
        for (size_t i = 2; i < words.size(); ++i) {
            size_t equals = words[i].find('=');
            bool value = false;
            if (equals == std::string::npos || !ValidName(words[i].substr(0, equals)) ||
                !ParseBool(words[i].substr(equals + 1), value)) {
                error = "bad setting '" + words[i] + "': expected NAME=true|false";
                return false;
            }
            parsed.settings.emplace_back(words[i].substr(0, equals), value);
        }
    } else if (verb == "wait-for") {
        if (words.size() < 2 || words.size() > 3) {
            error = "usage: wait-for KIND[:TEXT] [MS]";
            return false;
        }
        size_t colon = words[1].find(':');
        parsed.name = words[1].substr(0, colon);
        if (colon != std::string::npos)
            parsed.contains = words[1].substr(colon + 1);
        static const char* const kinds[] = {"advise", "update", "call", "query", "reply", "peer", "any"};
        bool known = false;
        for (const char* kind : kinds)
            known |= parsed.name == kind;
        if (!known) {
            error = "unknown message kind '" + parsed.name + "' (advise, update, call, query, reply, peer, any)";
            return false;
        }
        if (words.size() == 3 && !ParseMilliseconds(words[2], parsed.milliseconds)) {
            error = "bad time-out '" + words[2] + "': expected milliseconds";
            return false;
        }
        parsed.kind = Kind::WaitFor;
    } else if (verb == "listen") {
        if (words.size() != 2 || !ParseMilliseconds(words[1], parsed.milliseconds)) {
            error = "usage: listen MS";
            return false;
        }
        parsed.kind = Kind::Listen;
    } else if (verb == "quit" || verb == "exit") {
        parsed.kind = Kind::Quit;
    } else if (verb == "help") {
        parsed.kind = Kind::Help;
    } else {
        error = "unknown command '" + verb + "' (type help)";
        return false;
    }
    command = parsed;
    return true;
}
