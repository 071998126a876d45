// Running the calling thread as the user of a terminal-services session.
//
// RevertToSelfScope saves the thread's impersonation (if any) and reverts to
// the process identity; its destructor puts the saved impersonation back.
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
HANDLE GetSessionUserToken(uint32_t& sessionId);

class RevertToSelfScope {
public:
    RevertToSelfScope();
    virtual ~RevertToSelfScope();

    RevertToSelfScope(const RevertToSelfScope&) = delete;
    RevertToSelfScope& operator=(const RevertToSelfScope&) = delete;

private:
    HANDLE savedToken = nullptr;  // the thread's impersonation at construction; owned
};

class Impersonator : public RevertToSelfScope {
public:
    // The token stays the caller's: it must outlive the object.
    explicit Impersonator(HANDLE token);
    ~Impersonator() override;

    bool IsImpersonating() const { return impersonating; }

private:
    bool impersonating = false;
};
