// Who is logged on to a terminal-services session, as the engine asks it when
// a session is set: the engine keeps that user's state, in that user's hive,
// whatever the calling thread runs as (a LocalSystem host in session 0 serves
// the console session's user). The base class asks the system; that is what
// VtApi.dll uses.
//
// The seam: the engine's tests install a subclass to show what Wine cannot
// (one user, whom WTSQueryUserToken names for every session), such as a
// session whose user is not the caller. Install is reachable only from code
// linked into the process: VtApi.dll exports nothing that leads to it, and no
// environment variable or registry value changes an answer.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

class SessionUsers {
public:
    virtual ~SessionUsers() = default;

    // The installed answers, or the system's.
    static SessionUsers& Current();
    // Installs `users` for the whole process (null: the system's answers
    // again). The caller keeps it alive until it is replaced and no call runs.
    static void Install(SessionUsers* users);

    // The SID, in string form, of the user logged on to `session`. Returns 0,
    // ERROR_NO_SUCH_LOGON_SESSION when nobody is logged on there, or the
    // system's error (ERROR_PRIVILEGE_NOT_HELD: only LocalSystem may ask for
    // the user of a session other than the caller's own); `sid` is untouched
    // on failure.
    virtual DWORD UserOf(uint32_t session, std::wstring& sid);
};
