// The security of one sink: who the system lets open its pipe and the claim on
// its name (their DACLs), and which of the clients that got through it serves
// (the accept check). With it, the client's check of a sink's server before
// anything is sent to it (against a squatter on the name).
//
// DACLs, by the account the sink's process runs as:
//   account                    pipe                                 claim mutex
//   a user                     SYSTEM, the user: OwnerAccess        SYSTEM, the user: ClaimAccess
//   SYSTEM, LocalService or    SYSTEM, the account: OwnerAccess;    SYSTEM, the account: ClaimAccess
//   NetworkService             logon SID of the served session's
//                              user: SessionUserAccess
// The owner of both is the sink's own user. The served session is the active
// console session: a new pipe instance checks it (one cheap call) and, when it
// changed, the pipe gets the new session's DACL (a pipe has one descriptor for
// all its instances).
//
// Accept check, on every connection, in this order:
//   client is in the served session (a user sink: its own)  served
//   client's user is SYSTEM or the sink's own user        served
//   anything else, or a client that cannot be identified   disconnected, trace line
// Both are read for every client, served or not: what the check read is who
// sent the messages of that connection (CallSender).
//
// Windows enforces the pipe's DACL and shows each process's own session and
// user; Wine does neither (it ignores pipe DACLs and runs every process as one
// user in one session, none as SYSTEM; it does enforce the mutex's DACL). So
// under Wine a "QClient(N)" other than the console's cannot be served where
// the client's check wants it, and a pipe made without a descriptor has no
// owner at all (Windows gives it the token's default owner), which the check
// does not trust. The checks run the same on both; their tests inject what
// Wine cannot show through PeerIdentity.
#pragma once

#include "base/Mutex.h"
#include "rux/security/CallSender.h"
#include "rux/security/Sid.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace rux {

class PipeSecurity {
public:
    // Full control, for SYSTEM and the sink's own user.
    static constexpr DWORD OwnerAccess = FILE_ALL_ACCESS;  // 0x001F01FF
    // The served session's user on a service's pipe: read data, attributes
    // and the DACL (FILE_GENERIC_READ, with SYNCHRONIZE), write data, and
    // write attributes, which SetNamedPipeHandleState needs for message mode.
    // Not FILE_GENERIC_WRITE: its FILE_APPEND_DATA is, on a pipe,
    // FILE_CREATE_PIPE_INSTANCE, the right to serve rogue instances of the
    // name. Nor WRITE_DAC, WRITE_OWNER or DELETE.
    static constexpr DWORD SessionUserAccess = FILE_GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES;  // 0x0012018B
    // What a client asks for: no more than the session's user is granted, so
    // that one open works against every sink.
    static constexpr DWORD ClientAccess = SessionUserAccess;
    static constexpr DWORD ClaimAccess = MUTEX_ALL_ACCESS;  // 0x001F0001
    static_assert((SessionUserAccess & (FILE_CREATE_PIPE_INSTANCE | WRITE_DAC | WRITE_OWNER | DELETE)) == 0,
                  "the session's user must not serve, re-secure or take over the pipe");

    PipeSecurity();
    ~PipeSecurity();
    PipeSecurity(const PipeSecurity&) = delete;
    PipeSecurity& operator=(const PipeSecurity&) = delete;

    // Reads who this process is and builds both descriptors; false (with the
    // last error) when this process's user cannot be read. Called once, before
    // the claim mutex and the first instance are created.
    bool Build(const std::string& sinkName) OLV_EXCLUDES(mutex_);
    // For CreateMutexW of the claim; valid while this object lives.
    SECURITY_ATTRIBUTES* ClaimAttributes();
    // Creates a pipe instance with `create`, which gets the descriptor of the
    // session served now and the access the server handle needs beyond its
    // open mode (WRITE_DAC, to give the pipe a new session's DACL). Returns
    // what `create` returned.
    HANDLE CreateInstance(const std::function<HANDLE(SECURITY_ATTRIBUTES*, DWORD)>& create) OLV_EXCLUDES(mutex_);
    // The accept check on a connected server end; false (after a trace line)
    // when the client is to be disconnected. Either way `sender` receives the
    // client's session and user as read (not its process).
    bool Admit(HANDLE pipe, CallSender& sender);

    // The client's check on a connected client end, before it writes. The
    // server's user is the pipe's owner, read from the handle: a process can
    // make an object's owner no one but its own user (short of privileges
    // that already rule the machine), and the handle cannot pass to another
    // process as a process id can once its process ended. The server
    // process's user must agree with it where this process may read it (a
    // user's process may not read a service's token: the owner then stands
    // alone). A sink named for a session ("QClient(N)") must be served in
    // session N. Then, with `required`, the server must be exactly that user
    // in that session; without, SYSTEM or this process's user, or, when this
    // process runs as a service account, the user of the active console
    // session (whose user interface it serves). False, with a trace line and
    // `error` = RuxError_ServerNotTrusted, otherwise.
    static bool VerifyServer(HANDLE pipe, const std::string& sinkName, const CallSender* required, DWORD& error);

private:
    struct Descriptor;

    // The pipe's descriptor for the session served now, rebuilt when that
    // session (or its user) changed.
    std::shared_ptr<Descriptor> ForServedSession() OLV_EXCLUDES(mutex_);
    std::shared_ptr<Descriptor> MakePipeDescriptor(DWORD session);
    void TraceAdmitted(const Descriptor& descriptor, DWORD applyError);

    std::string sinkName_;
    Sid self_;
    Sid system_;
    bool service_ = false;          // runs as SYSTEM, LocalService or NetworkService
    DWORD ownSession_ = 0xFFFFFFFF;  // a user sink's session
    std::shared_ptr<Descriptor> claim_;

    Mutex mutex_;  // guards the two below; held across the DACL's rewrite
    std::shared_ptr<Descriptor> pipe_ OLV_GUARDED_BY(mutex_);
    uint64_t applied_ OLV_GUARDED_BY(mutex_) = 0;  // generation of the DACL the pipe carries
};

}  // namespace rux
