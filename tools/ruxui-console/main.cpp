// ruxui-console: the user interface of one session, on a console. See Usage().
#include "tools/common/ToolArguments.h"
#include "tools/ruxui-console/ConsoleCommand.h"
#include "tools/ruxui-console/SessionConsole.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace {

enum ExitCode { Ok = 0, Failed = 1, BadArguments = 2, TimedOut = 3 };

void Usage()
{
    std::printf(
        "usage: ruxui-console [OPTIONS] [STEPS]\n"
        "The user interface of one session: starts the sink \"QClient(N)\" with service \"SB\",\n"
        "opens its peer to the plug-in's sink \"SB\" (which makes the plug-in push a full\n"
        "status), prints every message it receives as one JSON line on stdout, e.g.\n"
        "  {\"kind\":\"advise\",\"item\":{\"Status\":1,\"Version\":\"1.2.3.4\",...}}\n"
        "  {\"kind\":\"reply\",\"item\":{\"proc\":\"RequestSBSetting\",\"cookie\":1,\"result\":{...}}}\n"
        "  {\"kind\":\"peer\",\"sink\":\"QClient(1)\"}   (the plug-in opened its peer to us)\n"
        "and sends the commands below.\n"
        "\n"
        "Options:\n"
        "  --session N          session id (default: the active console session)\n"
        "  --peer NAME          the plug-in's sink (default SB)\n"
        "  --timeout MS         time-out of each wait-for without its own (default 5000)\n"
        "  --connect-timeout MS keep trying to open the peer this long (default 0: once)\n"
        "  --help               this text\n"
        "  --version            the version\n"
        "\n"
        "Steps, run in order, then the console exits:\n"
        "  --send \"COMMAND\"      send one command (below)\n"
        "  --wait-for KIND[:TEXT]  wait for a message of KIND whose JSON line contains\n"
        "                       TEXT; fails (exit 3) after the time-out\n"
        "  --listen MS          print what arrives for MS milliseconds\n"
        "Without steps, commands are read from standard input, one per line, until\n"
        "quit or end of input; a script on standard input fails like the steps do.\n"
        "\n"
        "Commands:\n"
        "  enable true|false              one-way call {\"proc\":\"Enable\",\"arg\":bool}\n"
        "  call ClearVirtualData          one-way call of a bare string (also ShutDownSB)\n"
        "  query RequestSBSetting         query; the answer prints as a reply line\n"
        "  query ApplySBSetting NAME=true|false ...   the settings form the \"arg\" item\n"
        "  query ClearVirtualData | query ResetMessage\n"
        "  wait-for KIND[:TEXT] [MS]      KIND: advise update call query reply peer any\n"
        "  listen MS | quit | help\n"
        "\n"
        "Example:\n"
        "  ruxui-console --session 1 --wait-for advise --timeout 5000 \\\n"
        "      --send \"query RequestSBSetting\" --wait-for reply:RequestSBSetting\n"
        "\n"
        "Exit codes: 0 done, 1 peer unreachable or a send failed, 2 bad arguments,\n"
        "3 a wait timed out.\n");
}

int Fail(int code, const std::string& message)
{
    return FailWith("ruxui-console", code, message);
}

bool ParseNumber(const char* text, uint32_t& value)
{
    uint64_t parsed = 0;
    if (!ParseDecimalArgument(text, 0, 0xFFFFFFFEull, parsed))
        return false;
    value = static_cast<uint32_t>(parsed);
    return true;
}

// Runs one command; returns an exit code, or -1 to go on.
int Run(SessionConsole& console, const ConsoleCommand& command, uint32_t timeoutMs)
{
    std::string error;
    switch (command.kind) {
    case ConsoleCommand::Kind::None:
        return -1;
    case ConsoleCommand::Kind::Enable:
    case ConsoleCommand::Kind::Call:
    case ConsoleCommand::Kind::Query:
        return console.Send(command, error) ? -1 : Fail(Failed, error);
    case ConsoleCommand::Kind::WaitFor: {
        uint32_t wait = command.milliseconds ? command.milliseconds : timeoutMs;
        if (console.WaitFor(command.name, command.contains, wait))
            return -1;
        return Fail(TimedOut, "no " + command.name + " message" +
                                  (command.contains.empty() ? "" : " containing '" + command.contains + "'") +
                                  " within " + std::to_string(wait) + " ms");
    }
    case ConsoleCommand::Kind::Listen:
        Sleep(command.milliseconds);
        return -1;
    case ConsoleCommand::Kind::Quit:
        return Ok;
    case ConsoleCommand::Kind::Help:
        Usage();
        std::fflush(stdout);
        return -1;
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv)
{
    // Lines end in a bare LF: the output is read through pipes by scripts.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    uint32_t session = WTSGetActiveConsoleSessionId();
    std::string peer = "SB";
    uint32_t timeoutMs = 5000;
    uint32_t connectTimeoutMs = 0;
    std::vector<ConsoleCommand> steps;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            Usage();
            return Ok;
        }
        if (option == "--version") {
            std::printf("ruxui-console %s\n", OLV_PROJECT_VERSION);
            return Ok;
        }
        if (i + 1 >= argc)
            return Fail(BadArguments, "option '" + option + "' needs a value (see --help)");
        const char* value = argv[++i];
        std::string error;
        ConsoleCommand command;
        if (option == "--session") {
            if (!ParseNumber(value, session))
                return Fail(BadArguments, std::string("bad session id '") + value + "'");
        } else if (option == "--peer") {
            peer = value;
        } else if (option == "--timeout") {
            if (!ParseNumber(value, timeoutMs))
                return Fail(BadArguments, std::string("bad time-out '") + value + "'");
        } else if (option == "--connect-timeout") {
            if (!ParseNumber(value, connectTimeoutMs))
                return Fail(BadArguments, std::string("bad connect time-out '") + value + "'");
        } else if (option == "--send" || option == "--wait-for" || option == "--listen") {
            std::string line = option == "--send" ? value : option.substr(2) + " " + value;
            if (!ConsoleCommand::Parse(line, command, error))
                return Fail(BadArguments, error);
            if (option == "--send" && command.kind != ConsoleCommand::Kind::Enable &&
                command.kind != ConsoleCommand::Kind::Call && command.kind != ConsoleCommand::Kind::Query)
                return Fail(BadArguments, std::string("--send takes enable, call or query, not '") + value + "'");
            steps.push_back(command);
        } else {
            return Fail(BadArguments, "unknown option '" + option + "' (see --help)");
        }
    }
    if (session == 0xFFFFFFFF)
        return Fail(BadArguments, "no active console session: give --session N");

    SessionConsole console(stdout);
    std::string error;
    if (!console.Start(session, peer, connectTimeoutMs, error))
        return Fail(Failed, error);

    if (!steps.empty()) {
        for (const auto& step : steps) {
            int code = Run(console, step, timeoutMs);
            if (code >= 0)
                return code;
        }
        return Ok;
    }
    bool interactive = GetFileType(GetStdHandle(STD_INPUT_HANDLE)) == FILE_TYPE_CHAR;
    for (std::string line; std::getline(std::cin, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        ConsoleCommand command;
        if (!ConsoleCommand::Parse(line, command, error)) {
            Fail(BadArguments, error);
            if (interactive)
                continue;
            return BadArguments;
        }
        int code = Run(console, command, timeoutMs);
        if (code == Ok || (code > 0 && !interactive))
            return code;
    }
    return Ok;
}
