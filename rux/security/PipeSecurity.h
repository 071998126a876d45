// The security of one sink: who the system lets open its pipe and its claim
// on the name (their DACLs and mandatory labels), and which of the clients
// that got through it serves (the accept check). With it, the client's check
// of a sink's server before anything is sent to it (against a squatter on the
// name).
//
// DACLs, by the account the sink's process runs as:
//   account               pipe                                 claim mutex (Sink.h)
//   a user                SYSTEM, the user: OwnerAccess        SYSTEM, the user: ClaimAccess
//   SYSTEM                SYSTEM: OwnerAccess;                 SYSTEM: ClaimAccess
//                         logon SID of the served session's
//                         user: SessionUserAccess
//   LocalService or       SYSTEM, the host's service SID:      SYSTEM, the service SID: ClaimAccess;
//   NetworkService        OwnerAccess; OWNER RIGHTS:           OWNER RIGHTS: READ_CONTROL
//                         READ_CONTROL; logon SID:
//                         SessionUserAccess
// The owner of both is the sink's own account. LocalService and NetworkService
// are shared accounts: each is one account for every service configured to run
// as it, so a grant to the account is a grant to all of those services, and as
// the owner each of them could rewrite the DACL. Where the host's service has
// a SID of its own (S-1-5-80-..., enabled only in the token of the process
// that runs that service) it is granted instead, and OWNER RIGHTS cuts the
// owner's implicit rights down to reading the descriptor. A service without
// one (SID type none) has nothing narrower than its account: the account is
// granted as it would be for a user, and a trace line says so.
//
// Both carry a mandatory label: medium, no-write-up and no-read-up. A process
// below medium integrity (a sandboxed browser or document process of the same
// logon) may then neither open the pipe nor open, and so keep alive, the
// claim. A sink's own process must run at medium integrity or above to set it.
//
// The served session is the active console session. Its user's logon SID is
// on the pipe before an instance listens (Refresh), and an instance that
// listens looks again every SessionRecheckMs (Sink.h): a change of session is
// seen at once, a logon or a change of user in the same session within
// UserRecheckMs (the session's user is asked at most that often). A pipe has
// one descriptor for all its instances: rewriting it through any instance
// changes it for every one.
//
// Accept check, on every connection, in this order (the first is the cheaper):
//   client is in the served session (a user sink: its own)  identified
//   client's user is SYSTEM or the sink's own user         identified
//   anything else, or a client that cannot be identified   disconnected, trace line
//   identified, and its token is at medium integrity or    served
//   above and no AppContainer's
//   identified, but below medium, an AppContainer's, or    disconnected, trace line
//   of an integrity that cannot be read
// The session and the user are read for every client, served or not: what
// the check read is who sent the messages of that connection (CallSender).
// The refusal lines are rate-limited (RefusalLines).
//
// Windows enforces the pipe's DACL and label and shows each process's own
// session, user and integrity; Wine does none of it (it ignores pipe DACLs,
// accepts a mandatory label and keeps none, runs every process as one user in
// one session at high integrity, none as SYSTEM, and ignores a lowered
// integrity level in a token; it does enforce the mutex's DACL). So under
// Wine a "QClient(N)" other than the console's cannot be served where the
// client's check wants it, and a pipe made without a descriptor has no owner
// at all (Windows gives it the token's default owner), which the check does
// not trust. The checks run the same on both; their tests inject what Wine
// cannot show through PeerIdentity, and check the label in the descriptor
// built.
#pragma once

#include "base/Mutex.h"
#include "rux/security/CallSender.h"
#include "rux/security/Sid.h"
#include "rux/TraceLimiter.h"

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
    // What OWNER RIGHTS leaves a shared account that owns the objects.
    static constexpr DWORD SharedOwnerAccess = READ_CONTROL;
    // The label: medium, and neither writes nor reads from below it.
    static constexpr DWORD LabelRid = SECURITY_MANDATORY_MEDIUM_RID;  // 0x2000
    static constexpr DWORD LabelPolicy = SYSTEM_MANDATORY_LABEL_NO_WRITE_UP | SYSTEM_MANDATORY_LABEL_NO_READ_UP;
    // The least integrity the accept check serves.
    static constexpr DWORD LeastClientIntegrity = SECURITY_MANDATORY_MEDIUM_RID;
    // How often the served session's user is asked again while its session
    // stays the console's.
    static constexpr DWORD UserRecheckMs = 1000;
    // Refusal lines: at most this many per period, the rest counted.
    static constexpr uint32_t RefusalLines = 16;
    static constexpr DWORD RefusalPeriodMs = 30000;
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
    // True when the pipe's DACL follows the console session (a service's
    // sink): its listening instances call Refresh now and then.
    bool FollowsSession() const { return service_; }
    // Gives the pipe, through `instance` (one of CreateInstance's), the DACL
    // of the session served now, when it does not carry it yet. Never throws
    // (an allocation that fails leaves it for the next call).
    void Refresh(HANDLE instance) noexcept OLV_EXCLUDES(mutex_);
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
    // session (or, asked again after UserRecheckMs, its user) changed.
    std::shared_ptr<Descriptor> ForServedSession() OLV_EXCLUDES(mutex_);
    std::shared_ptr<Descriptor> MakePipeDescriptor(DWORD session);
    // Rewrites the pipe's DACL through `instance` when `current` is newer
    // than what it carries.
    void Apply(HANDLE instance, Descriptor& current) OLV_EXCLUDES(mutex_);
    void TraceAdmitted(const Descriptor& descriptor, DWORD applyError);
    // The second half of the accept check, for an identified client.
    bool AdmitsIntegrity(HANDLE pipe);
    void TraceRefusal(const char* format, ...);

    std::string sinkName_;
    Sid self_;
    Sid system_;
    Sid grantee_;             // who gets OwnerAccess beside SYSTEM: self_, or its service's SID
    Sid ownerRights_;         // OWNER RIGHTS where grantee_ is not the owner; else empty
    bool service_ = false;    // runs as SYSTEM, LocalService or NetworkService
    DWORD ownSession_ = 0xFFFFFFFF;  // a user sink's session
    std::shared_ptr<Descriptor> claim_;
    TraceLimiter refusals_{RefusalLines, RefusalPeriodMs};

    Mutex mutex_;  // guards the three below; held across the DACL's rewrite
    std::shared_ptr<Descriptor> pipe_ OLV_GUARDED_BY(mutex_);
    uint64_t applied_ OLV_GUARDED_BY(mutex_) = 0;  // generation of the DACL the pipe carries
    ULONGLONG userAsked_ OLV_GUARDED_BY(mutex_) = 0;  // when the session's user was last asked
};

}  // namespace rux
