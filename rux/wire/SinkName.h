// The names behind a sink name: the pipe that carries it and the named mutex
// that guards its single owner across processes.
#pragma once

#include <string>

namespace rux {

class SinkName {
public:
    // 1 to 128 printable ASCII characters, without '\' and '/'. Service names
    // follow the same rule.
    static bool Valid(const char* name);
    static std::wstring PipePath(const std::string& name);   // \\.\pipe\Rux.Sink.<name>
    static std::wstring MutexName(const std::string& name);  // Global\Rux.Sink.<name>
    // The session a sink's name belongs to: N for the user interface sink
    // "QClient(N)" (N in decimal, letter case ignored as pipe names ignore
    // it). False for any other name.
    static bool SessionOf(const std::string& name, unsigned long& session);
};

}  // namespace rux
