// Running the calling thread as the user of a terminal-services session.
//
// RevertToSelfScope saves the thread's impersonation (if any) and reverts to
// the process identity; its destructor puts exactly the saved impersonation
// token back. The thread's token is opened as the process (OpenAsSelf): on
// Windows a thread impersonating at identification level cannot open it as
// itself (ERROR_BAD_IMPERSONATION_LEVEL). An impersonation that cannot be
// saved at all (at anonymous level, ERROR_CANT_OPEN_ANONYMOUS) is left in
// place: the scope does not revert it, and an Impersonator on such a thread
// does not impersonate, since it could not put the caller's identity back.
// Impersonator adds the impersonation of a given token on top, for its own
// lifetime. Both are scoped: construct and destroy them on the same thread.
// Failing system calls are logged at level 3 in the "OLV_LOG_WIN32_CALL" form
// and never thrown or returned.
#pragma once

#include <windows.h>

#include <cstdint>

// Returns a primary token of the user logged on to the session, owned by the
// caller (CloseHandle), or null. A session of 0xFFFFFFFF is replaced by the
// active console session (0 when the system lacks that call) and written back.
// Wtsapi32.dll is loaded from the system folder only.
HANDLE GetSessionUserToken(uint32_t& sessionId);

class RevertToSelfScope {
public:
    RevertToSelfScope();
    virtual ~RevertToSelfScope();

    RevertToSelfScope(const RevertToSelfScope&) = delete;
    RevertToSelfScope& operator=(const RevertToSelfScope&) = delete;

    // False when the thread impersonates in a way that could not be saved: it
    // was left as it was, and nothing may be impersonated on top.
    bool Saved() const { return saveError == ERROR_SUCCESS; }

private:
    HANDLE savedToken = nullptr;  // the thread's impersonation at construction; owned
    DWORD saveError = ERROR_SUCCESS;  // why an impersonation could not be saved
};

class Impersonator : public RevertToSelfScope {
public:
    // The token stays the caller's: it must outlive the object. When it cannot
    // be impersonated (or the thread's own impersonation could not be saved),
    // the thread runs as before and IsImpersonating is false: the caller must
    // then not act as the token's user (RegOpenCurrentUser, for one, would
    // open the process's own user's hive).
    explicit Impersonator(HANDLE token);
    ~Impersonator() override;

    bool IsImpersonating() const { return impersonating; }

private:
    bool impersonating = false;
};
