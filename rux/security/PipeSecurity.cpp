#include "rux/security/PipeSecurity.h"

#include "rux/security/PeerIdentity.h"
#include "rux/wire/SinkName.h"
#include "rux/Trace.h"

#include "contracts/RuxApi.h"
#include "contracts/RuxExtensions.h"

#include <aclapi.h>

#include <cstdarg>
#include <new>
#include <cstdio>
#include <vector>

namespace rux {

// An absolute security descriptor with its own DACL and label; it points into
// itself, so it stays where it was made (held by shared_ptr).
struct PipeSecurity::Descriptor {
    struct Grant {
        const Sid* sid;
        DWORD access;
    };

    DWORD session = NoSession;  // the served session it admits (service sinks)
    Sid logon;                  // that session's user; empty when nobody is admitted
    DWORD logonError = 0;       // why `logon` is empty
    uint64_t generation = 0;
    Sid owner;
    Sid label;
    std::vector<unsigned char> acl;
    std::vector<unsigned char> sacl;
    SECURITY_DESCRIPTOR descriptor = {};
    SECURITY_ATTRIBUTES attributes = {};

    // One allow ACE per grant, in order, and the label; false with the last
    // error.
    bool Make(const Sid& ownerSid, const std::vector<Grant>& grants)
    {
        owner = ownerSid;
        label = Sid::WellKnown(WinMediumLabelSid);
        if (label.Empty())
            return false;
        DWORD size = sizeof(ACL);
        for (const Grant& grant : grants)
            size += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + grant.sid->Length();
        acl.assign(size, 0);
        PACL list = reinterpret_cast<PACL>(acl.data());
        if (!InitializeAcl(list, size, ACL_REVISION))
            return false;
        for (const Grant& grant : grants) {
            if (!AddAccessAllowedAce(list, ACL_REVISION, grant.access, grant.sid->Get()))
                return false;
        }
        DWORD labelSize = sizeof(ACL) + sizeof(SYSTEM_MANDATORY_LABEL_ACE) - sizeof(DWORD) + label.Length();
        sacl.assign(labelSize, 0);
        PACL labels = reinterpret_cast<PACL>(sacl.data());
        if (!InitializeAcl(labels, labelSize, ACL_REVISION) ||
            !AddMandatoryAce(labels, ACL_REVISION, 0, LabelPolicy, label.Get()))
            return false;
        // The owner is set, not left to the token's default owner (a group on
        // some tokens): a client knows the server's user by the pipe's owner
        // (VerifyServer).
        if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
            !SetSecurityDescriptorOwner(&descriptor, owner.Get(), FALSE) ||
            !SetSecurityDescriptorDacl(&descriptor, TRUE, list, FALSE) ||
            !SetSecurityDescriptorSacl(&descriptor, TRUE, labels, FALSE))
            return false;
        attributes.nLength = sizeof attributes;
        attributes.lpSecurityDescriptor = &descriptor;
        attributes.bInheritHandle = FALSE;
        return true;
    }

    PACL Dacl() { return reinterpret_cast<PACL>(acl.data()); }
};

namespace {

bool IsServiceAccount(const Sid& user)
{
    return user == Sid::WellKnown(WinLocalSystemSid) || user == Sid::WellKnown(WinLocalServiceSid) ||
           user == Sid::WellKnown(WinNetworkServiceSid);
}

bool IsSharedAccount(const Sid& user)
{
    return user == Sid::WellKnown(WinLocalServiceSid) || user == Sid::WellKnown(WinNetworkServiceSid);
}

}  // namespace

PipeSecurity::PipeSecurity() = default;
PipeSecurity::~PipeSecurity() = default;

bool PipeSecurity::Build(const std::string& sinkName)
{
    sinkName_ = sinkName;
    PeerIdentity& identity = PeerIdentity::Current();
    if (DWORD error = identity.ProcessUser(self_)) {
        SetLastError(error);
        return false;
    }
    system_ = Sid::WellKnown(WinLocalSystemSid);
    service_ = IsServiceAccount(self_);
    if (!service_ && identity.ProcessSession(ownSession_) != 0)
        ownSession_ = NoSession;  // its accept check then admits SYSTEM and its user only
    grantee_ = self_;
    DWORD serviceSidError = 0;
    if (IsSharedAccount(self_)) {
        Sid serviceSid;
        serviceSidError = identity.ProcessServiceSid(serviceSid);
        if (serviceSidError == 0) {
            grantee_ = std::move(serviceSid);
            ownerRights_ = Sid::WellKnown(WinCreatorOwnerRightsSid);
        }
    }

    // The session's user has no business with the claim (where it is a mutex,
    // Sink.h): a process of its own that tries the same name gets
    // ERROR_ACCESS_DENIED from CreateMutexW, which Sink::Start reports as the
    // name being taken.
    std::vector<Descriptor::Grant> claimGrants = {{&system_, ClaimAccess}};
    if (grantee_ != system_)
        claimGrants.push_back({&grantee_, ClaimAccess});
    if (!ownerRights_.Empty())
        claimGrants.push_back({&ownerRights_, SharedOwnerAccess});
    auto claim = std::make_shared<Descriptor>();
    if (!claim->Make(self_, claimGrants))
        return false;

    auto pipe = MakePipeDescriptor(service_ ? identity.ActiveConsoleSession() : NoSession);
    if (!pipe)
        return false;
    pipe->generation = 1;
    claim_ = std::move(claim);
    {
        MutexHolder hold(mutex_);
        pipe_ = pipe;
        applied_ = 1;  // the first instance is created with it
        userAsked_ = GetTickCount64();
    }
    if (serviceSidError)
        Trace::Line("Rux: sink '%s' runs as the shared account %s, and its service has no SID of its own (error "
                    "%lu): every service of that account may serve or re-secure its pipe",
                    sinkName_.c_str(), self_.Text().c_str(), serviceSidError);
    if (service_)
        TraceAdmitted(*pipe, 0);
    return true;
}

SECURITY_ATTRIBUTES* PipeSecurity::ClaimAttributes()
{
    return claim_ ? &claim_->attributes : nullptr;
}

std::shared_ptr<PipeSecurity::Descriptor> PipeSecurity::MakePipeDescriptor(DWORD session)
{
    auto made = std::make_shared<Descriptor>();
    made->session = session;
    if (service_) {
        Sid user;
        made->logonError = session == NoSession ? ERROR_NO_TOKEN
                                                : PeerIdentity::Current().SessionUser(session, user, made->logon);
    }
    std::vector<Descriptor::Grant> grants = {{&system_, OwnerAccess}};
    if (grantee_ != system_)
        grants.push_back({&grantee_, OwnerAccess});
    if (!ownerRights_.Empty())
        grants.push_back({&ownerRights_, SharedOwnerAccess});
    if (!made->logon.Empty())
        grants.push_back({&made->logon, SessionUserAccess});
    if (!made->Make(self_, grants))
        return nullptr;
    return made;
}

std::shared_ptr<PipeSecurity::Descriptor> PipeSecurity::ForServedSession()
{
    DWORD session = service_ ? PeerIdentity::Current().ActiveConsoleSession() : NoSession;
    {
        MutexHolder hold(mutex_);
        // A user's sink never changes. A service's changes with the session
        // at once, and with the session's user (a logon, a logoff, another
        // user) once that user is asked again.
        ULONGLONG now = GetTickCount64();
        if (!service_ || (pipe_->session == session && now - userAsked_ < UserRecheckMs))
            return pipe_;
        userAsked_ = now;
    }
    auto made = MakePipeDescriptor(session);
    MutexHolder hold(mutex_);
    if (made && (made->session != pipe_->session || made->logon != pipe_->logon)) {
        made->generation = pipe_->generation + 1;
        pipe_ = std::move(made);
    }
    return pipe_;
}

void PipeSecurity::Apply(HANDLE instance, Descriptor& current)
{
    bool changed = false;
    DWORD applyError = 0;
    {
        MutexHolder hold(mutex_);
        // The descriptor given to a later instance is ignored: the pipe keeps
        // its first instance's for as long as any instance exists. So a new
        // session's user is let in (and the old one's left out) by rewriting
        // the DACL, through this instance, for every instance. The label stays.
        if (current.generation > applied_) {
            changed = true;
            applyError = SetSecurityInfo(instance, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                         current.Dacl(), nullptr);
            if (applyError == ERROR_SUCCESS)
                applied_ = current.generation;
        }
    }
    // Traced outside the lock: the trace callback never runs under our locks.
    if (changed)
        TraceAdmitted(current, applyError);
}

HANDLE PipeSecurity::CreateInstance(const std::function<HANDLE(SECURITY_ATTRIBUTES*, DWORD)>& create)
{
    // Held across the creation: the descriptor must outlive the call.
    std::shared_ptr<Descriptor> current = ForServedSession();
    HANDLE instance = create(&current->attributes, WRITE_DAC);
    if (instance == INVALID_HANDLE_VALUE)
        return instance;
    DWORD error = GetLastError();
    Apply(instance, *current);
    SetLastError(error);
    return instance;
}

void PipeSecurity::Refresh(HANDLE instance) noexcept
{
    if (!service_)
        return;
    try {
        std::shared_ptr<Descriptor> current = ForServedSession();
        Apply(instance, *current);
    } catch (const std::bad_alloc&) {
        // The DACL stays as it is until the next look.
    }
}

void PipeSecurity::TraceAdmitted(const Descriptor& descriptor, DWORD applyError)
{
    long session = static_cast<long>(descriptor.session);
    if (applyError)
        Trace::Line("Rux: sink '%s': cannot give its pipe the DACL of session %ld (error %lu)", sinkName_.c_str(),
                    session, applyError);
    else if (descriptor.logon.Empty())
        Trace::Line("Rux: sink '%s': no user to admit in session %ld (error %lu): only SYSTEM and %s may connect",
                    sinkName_.c_str(), session, descriptor.logonError, grantee_.Text().c_str());
    else
        Trace::Line("Rux: sink '%s' admits the user of session %ld (logon SID %s)", sinkName_.c_str(), session,
                    descriptor.logon.Text().c_str());
}

void PipeSecurity::TraceRefusal(const char* format, ...)
{
    uint64_t heldBack = 0;
    if (!refusals_.Allow(heldBack))
        return;
    const std::string note = TraceLimiter::HeldBackNote(heldBack);
    va_list args;
    va_start(args, format);
    Trace::LineV(format, args, note.c_str());
    va_end(args);
}

bool PipeSecurity::Admit(HANDLE pipe, CallSender& sender)
{
    PeerIdentity& identity = PeerIdentity::Current();
    // Either answer identifies: the session (the user interface of the
    // session and its tools), or the user.
    DWORD session = NoSession;
    DWORD sessionError = identity.ClientSession(pipe, session);
    // The user too, also where the session alone serves: the application
    // checks a reply address against the user who asked (RuxGetCallSender).
    Sid user;
    DWORD userError = identity.ClientUser(pipe, user);
    sender.session = sessionError ? NoSession : session;
    if (userError == 0)
        sender.user = user;
    // The session served now, not the one the DACL was last made for: a
    // listening instance from before a session change still carries the old
    // user, and this is where that user is turned away.
    DWORD served = service_ ? identity.ActiveConsoleSession() : ownSession_;
    if (sessionError == 0 && session != NoSession && session == served)
        return AdmitsIntegrity(pipe);
    if (userError == 0 && (user == system_ || user == self_))
        return AdmitsIntegrity(pipe);
    ULONG process = 0;
    GetNamedPipeClientProcessId(pipe, &process);
    TraceRefusal("Rux: sink '%s': refused process %lu of session %ld, user %s (error %lu): neither SYSTEM nor %s, "
                 "nor of session %ld",
                 sinkName_.c_str(), process, sessionError ? -1L : static_cast<long>(session), user.Text().c_str(),
                 userError, self_.Text().c_str(), static_cast<long>(served));
    return false;
}

bool PipeSecurity::AdmitsIntegrity(HANDLE pipe)
{
    // Windows lets a process below medium integrity open the pipe only where
    // the label is missing (an older instance, a platform without labels);
    // this turns it away all the same, and an AppContainer at any level.
    DWORD integrity = 0;
    bool appContainer = false;
    DWORD error = PeerIdentity::Current().ClientIntegrity(pipe, integrity, appContainer);
    if (error == 0 && integrity >= LeastClientIntegrity && !appContainer)
        return true;
    ULONG process = 0;
    GetNamedPipeClientProcessId(pipe, &process);
    if (error)
        TraceRefusal("Rux: sink '%s': refused process %lu: its integrity level cannot be read (error %lu)",
                     sinkName_.c_str(), process, error);
    else
        TraceRefusal("Rux: sink '%s': refused process %lu: integrity level 0x%lx%s%s", sinkName_.c_str(), process,
                     integrity, integrity < LeastClientIntegrity ? ", below medium" : "",
                     appContainer ? ", an AppContainer" : "");
    return false;
}

bool PipeSecurity::VerifyServer(HANDLE pipe, const std::string& sinkName, const CallSender* required, DWORD& error)
{
    PeerIdentity& identity = PeerIdentity::Current();
    Sid owner;
    DWORD ownerError = identity.ServerOwner(pipe, owner);
    DWORD process = 0;
    Sid processUser;
    DWORD processError = ownerError ? 0 : identity.ServerUser(pipe, process, processUser);
    auto refuse = [&](const char* why, DWORD why2) {
        Trace::Line("Rux: sink '%s' is served by process %lu as %s (error %lu): %s: not connecting", sinkName.c_str(),
                    process, owner.Text().c_str(), why2, why);
        error = RuxError_ServerNotTrusted;
        return false;
    };
    if (ownerError == 0 && processError == 0 && processUser != owner)
        return refuse(("its process runs as " + processUser.Text() + ", not as its pipe's owner").c_str(), 0);
    if (ownerError == 0 && processError != 0 && processError != ERROR_ACCESS_DENIED)
        return refuse("its process cannot be read", processError);

    // The session, where one is named: by the sink's name, and by `required`.
    unsigned long named = NoSession;
    bool sessionNamed = SinkName::SessionOf(sinkName, named);
    if (ownerError == 0 && (sessionNamed || required)) {
        DWORD session = NoSession;
        if (DWORD sessionError = identity.ServerSession(pipe, session))
            return refuse("its session cannot be read", sessionError);
        if (sessionNamed && session != named)
            return refuse(("it runs in session " + std::to_string(session) + ", not in the session its name gives")
                              .c_str(),
                          0);
        if (required && session != required->session)
            return refuse(("it runs in session " + std::to_string(session) + ", not in session " +
                           std::to_string(required->session))
                              .c_str(),
                          0);
    }
    if (required) {
        if (ownerError == 0 && !owner.Empty() && owner == required->user)
            return true;
        return refuse(("it is not " + required->user.Text()).c_str(), ownerError);
    }

    Sid self;
    DWORD selfError = identity.ProcessUser(self);
    if (selfError == 0 && ownerError == 0 && (owner == Sid::WellKnown(WinLocalSystemSid) || owner == self))
        return true;
    // A service reaches the user interface of the session it serves: a sink
    // of the console session's user is genuine too (and only that user's).
    DWORD console = NoSession;
    if (selfError == 0 && ownerError == 0 && IsServiceAccount(self)) {
        console = identity.ActiveConsoleSession();
        Sid consoleUser;
        Sid logon;
        if (console != NoSession && identity.SessionUser(console, consoleUser, logon) == 0 && owner == consoleUser)
            return true;
    }
    Trace::Line("Rux: sink '%s' is served by process %lu as %s (error %lu), neither SYSTEM nor %s%s: not connecting",
                sinkName.c_str(), process, owner.Text().c_str(), ownerError ? ownerError : selfError,
                self.Text().c_str(), console == NoSession ? "" : " nor the console session's user");
    error = RuxError_ServerNotTrusted;
    return false;
}

}  // namespace rux
