// Who sent a message into one of our sinks, as the system told the sink when
// it admitted the connection that carried it (never what the message says):
// the client's process, its session and its user. Read once per connection
// and shared by every message of that connection (RuxGetCallSender).
#pragma once

#include "rux/security/PeerIdentity.h"
#include "rux/security/Sid.h"

#include <windows.h>

namespace rux {

struct CallSender {
    DWORD process = 0;
    DWORD session = NoSession;  // NoSession when it could not be read
    Sid user;                   // empty when the client could not be identified
};

}  // namespace rux
