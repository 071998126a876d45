// Sets the calling thread's impersonation aside for a scope, so that what the
// logger opens, creates and reads meanwhile is the process's own: the log
// file, the named mutex of opening and rotation, and the user's volatile key
// with the stream key. A log call may come on a thread that impersonates a
// client; RtlFormatCurrentUserKeyPath, the access checks of every open and the
// owner and DACL of what is created follow that impersonation, and the header
// check of a log reopened there would find another key and rotate the file.
//
// The scope saves the thread's token (opened as the process, so that even an
// identification-level token can be saved), reverts to the process, and puts
// exactly that token back at its end. A thread that does not impersonate is
// left as it is, at the cost of one query. Keeps the caller's last-error value.
#pragma once

#include "base/UniqueHandle.h"

#include <windows.h>

class ProcessIdentity {
public:
    ProcessIdentity() noexcept;
    ~ProcessIdentity();
    ProcessIdentity(const ProcessIdentity&) = delete;
    ProcessIdentity& operator=(const ProcessIdentity&) = delete;

    // False when the thread impersonates and its token could not be set
    // aside: the caller must not act now.
    bool Acting() const noexcept { return acting; }

private:
    UniqueToken saved;  // the thread's token while it is set aside
    bool acting = true;
};
