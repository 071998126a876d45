// The security descriptor of a sink's pipe instances: a DACL that admits only
// the user of this process and SYSTEM.
#pragma once

#include <windows.h>

#include <vector>

namespace rux {

class PipeSecurity {
public:
    PipeSecurity() = default;
    PipeSecurity(const PipeSecurity&) = delete;
    PipeSecurity& operator=(const PipeSecurity&) = delete;

    // Builds the descriptor; false (with the last error) when the token or the
    // SIDs cannot be read.
    bool Build();
    // Attributes to pass to CreateNamedPipeW; valid while this object lives.
    SECURITY_ATTRIBUTES* Attributes() { return &attributes_; }

private:
    std::vector<unsigned char> user_;    // TOKEN_USER of the process token
    std::vector<unsigned char> system_;  // the SID of LocalSystem
    std::vector<unsigned char> acl_;
    SECURITY_DESCRIPTOR descriptor_ = {};
    SECURITY_ATTRIBUTES attributes_ = {};
};

}  // namespace rux
