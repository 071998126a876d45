// Who is who, as the pipe security checks ask it: this process's user and
// session, the user of the session a service serves, and who is at the other
// end of a pipe. The base class asks the system; that is what the product uses.
//
// The seam: the tests of the static library install a subclass to show what
// Wine cannot (it runs every process in one session as one user, none as
// SYSTEM), so that the checks themselves run unchanged. Install is reachable
// only from code linked into the process: Rux.dll exports nothing that leads
// to it, and no environment variable, registry value or message changes an
// answer.
#pragma once

#include "rux/security/Sid.h"

#include <windows.h>

namespace rux {

// The session id that means "no session".
constexpr DWORD NoSession = 0xFFFFFFFF;

class PeerIdentity {
public:
    virtual ~PeerIdentity() = default;

    // The identity the checks use: the installed one, or the system's.
    static PeerIdentity& Current();
    // Installs `identity` for the whole process (null: the system's answers
    // again). The caller keeps it alive until it is replaced and no check runs.
    static void Install(PeerIdentity* identity);
    // Forgets the servers whose users ServerUser keeps, with their process
    // handles (the last RuxExit).
    static void ForgetServers();

    // Each returns 0, or the Win32 error that kept it from an answer (the
    // out-parameters are then untouched).

    // The user of this process's token (not of an impersonating thread).
    virtual DWORD ProcessUser(Sid& user);
    virtual DWORD ProcessSession(DWORD& session);
    // The session of the physical console; NoSession while it is switching.
    virtual DWORD ActiveConsoleSession();
    // The user logged on in `session` and the SID of that logon, from the
    // user's token (WTSQueryUserToken, which only LocalSystem may call).
    // ERROR_NO_TOKEN: nobody is logged on there; ERROR_PRIVILEGE_NOT_HELD:
    // this process may not ask.
    virtual DWORD SessionUser(DWORD session, Sid& user, Sid& logon);
    // The session of the client connected to the server end `pipe`.
    virtual DWORD ClientSession(HANDLE pipe, DWORD& session);
    // The user of the client connected to the server end `pipe`, as far as
    // the client lets itself be identified.
    virtual DWORD ClientUser(HANDLE pipe, Sid& user);
    // How far the system trusts that client: the RID of its token's mandatory
    // label (SECURITY_MANDATORY_LOW_RID and the like) and whether the token is
    // an AppContainer's, read as ClientUser reads the user.
    virtual DWORD ClientIntegrity(HANDLE pipe, DWORD& integrity, bool& appContainer);
    // The SID of the service this process runs (S-1-5-80-...), where the
    // service has one; ERROR_NOT_FOUND otherwise.
    virtual DWORD ProcessServiceSid(Sid& service);
    // The process that serves the client end `pipe`, and the user it runs as
    // (ERROR_ACCESS_DENIED: the system does not show this process that
    // user). The users of the last few servers are kept, each with a handle
    // to its process (so that its id cannot pass to another process
    // meanwhile).
    virtual DWORD ServerUser(HANDLE pipe, DWORD& process, Sid& user);
    // The owner of the pipe that the client end `pipe` belongs to, read from
    // that handle (no process id on the way).
    virtual DWORD ServerOwner(HANDLE pipe, Sid& owner);
    // The session of the process that serves the client end `pipe`.
    virtual DWORD ServerSession(HANDLE pipe, DWORD& session);
};

}  // namespace rux
