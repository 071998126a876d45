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
};

}  // namespace rux
