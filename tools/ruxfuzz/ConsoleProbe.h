// The genuine user interface itself, ruxui-console, asking "RequestSBSetting"
// from a process of its own. Used while the fuzzer holds connections to the
// sink: a sink may rightly refuse more connections to the process that holds
// them, but must still let a user interface in.
#pragma once

#include <windows.h>

#include <string>

class ConsoleProbe {
public:
    // Runs `consolePath` once and waits for it, at most timeoutMs plus the
    // console's own connect wait. True when it printed the reply; false with
    // a one-line reason (its exit code and the last line it wrote to standard
    // error).
    static bool Ask(const std::wstring& consolePath, DWORD timeoutMs, std::string& error);
};
