// One command of the console, as typed on standard input or given to --send
// and --wait-for:
//   enable true|false                    one-way call {"proc":"Enable","arg":bool}
//   call NAME                            one-way call of the bare string NAME
//   query NAME [SETTING=true|false ...]  query; settings form the "arg" item
//   wait-for KIND[:TEXT] [MS]            wait for a message of KIND whose JSON
//                                        contains TEXT (KIND: advise, update,
//                                        call, query, reply, peer, any)
//   listen MS                            print what arrives for MS milliseconds
//   quit | help
// Blank lines and lines starting with '#' do nothing.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct ConsoleCommand {
    enum class Kind { None, Enable, Call, Query, WaitFor, Listen, Quit, Help };

    Kind kind = Kind::None;
    std::string name;    // call or query name; wait-for: the message kind
    bool flag = false;   // enable
    std::vector<std::pair<std::string, bool>> settings;  // query arguments
    std::string contains;     // wait-for: text the message's JSON must contain
    uint32_t milliseconds = 0;  // wait-for (0: the default time-out), listen

    // False with a one-line reason for anything malformed.
    static bool Parse(const std::string& line, ConsoleCommand& command, std::string& error);
};
