#include "rux/security/PeerIdentity.h"

#include "base/Mutex.h"
#include "base/UniqueHandle.h"

#include <aclapi.h>

#include <array>
#include <cstring>
#include <atomic>
#include <intrin.h>
#include <vector>

namespace rux {
namespace {

std::atomic<PeerIdentity*> Installed{nullptr};

// One class of information of `token`, or the error.
DWORD QueryToken(HANDLE token, TOKEN_INFORMATION_CLASS kind, std::vector<unsigned char>& buffer)
{
    DWORD size = 0;
    GetTokenInformation(token, kind, nullptr, 0, &size);
    if (size == 0)
        return GetLastError();
    buffer.resize(size);
    if (!GetTokenInformation(token, kind, buffer.data(), size, &size))
        return GetLastError();
    return 0;
}

DWORD TokenUserOf(HANDLE token, Sid& user)
{
    // A TOKEN_USER never needs more: one call instead of asking for the size.
    union {
        TOKEN_USER header;
        unsigned char bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } buffer;
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenUser, buffer.bytes, sizeof buffer.bytes, &size))
        return GetLastError();
    Sid sid = Sid::Copy(buffer.header.User.Sid);
    if (sid.Empty())
        return ERROR_INVALID_SID;
    user = std::move(sid);
    return 0;
}

DWORD ProcessTokenUser(HANDLE process, Sid& user)
{
    UniqueToken token;
    if (!OpenProcessToken(process, TOKEN_QUERY, token.put()))
        return GetLastError();
    return TokenUserOf(token.get(), user);
}

// The users of the last few server processes, each kept with a handle to its
// process: while that is open the process id cannot be given to another
// process, and a process's user never changes, so a client that connects to
// the same server again learns its user from the id alone.
class ServerUsers {
public:
    bool Find(DWORD process, Sid& user) OLV_EXCLUDES(mutex_)
    {
        MutexHolder hold(mutex_);
        for (const Entry& entry : entries_) {
            if (entry.handle.valid() && entry.process == process) {
                user = entry.user;
                return true;
            }
        }
        return false;
    }
    void Clear() noexcept OLV_EXCLUDES(mutex_)
    {
        MutexHolder hold(mutex_);
        for (Entry& entry : entries_)
            entry = Entry();
    }
    // Keeps `handle` and `user` for `process` in place of the oldest entry.
    void Add(DWORD process, UniqueProcess handle, const Sid& user) OLV_EXCLUDES(mutex_)
    {
        Entry entry{process, std::move(handle), user};
        MutexHolder hold(mutex_);
        std::swap(entries_[next_], entry);
        next_ = (next_ + 1) % entries_.size();
        // The replaced entry's handle closes as `entry` goes, unlocked.
        hold.Unlock();
    }

private:
    struct Entry {
        DWORD process = 0;
        UniqueProcess handle;
        Sid user;
    };
    Mutex mutex_;
    std::array<Entry, 4> entries_ OLV_GUARDED_BY(mutex_);
    size_t next_ OLV_GUARDED_BY(mutex_) = 0;
};

// Lives as long as the process; its handles go with it.
ServerUsers& KnownServers()
{
    static ServerUsers* const known = new ServerUsers();
    return *known;
}

DWORD ProcessIdUser(DWORD process, Sid& user)
{
    if (KnownServers().Find(process, user))
        return 0;
    // Limited query is all a token read needs, and it is granted on more
    // processes than full query (protected ones included).
    UniqueProcess handle(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process));
    if (!handle.valid())
        return GetLastError();
    Sid sid;
    if (DWORD error = ProcessTokenUser(handle.get(), sid))
        return error;
    KnownServers().Add(process, std::move(handle), sid);
    user = std::move(sid);
    return 0;
}

// The owner of the pipe that `pipe` is an end of (READ_CONTROL, which every
// client of ours holds through FILE_GENERIC_READ).
DWORD PipeOwner(HANDLE pipe, Sid& owner)
{
    PSID sid = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &sid, nullptr, nullptr,
                                  nullptr, &descriptor);
    if (error)
        return error;
    Sid copy = Sid::Copy(sid);
    LocalFree(descriptor);
    if (copy.Empty())
        return ERROR_INVALID_OWNER;
    owner = std::move(copy);
    return 0;
}

using QueryUserTokenFn = BOOL(WINAPI*)(ULONG, PHANDLE);

// WTSQueryUserToken, looked up once. Loaded from the system folder only: a
// service must never pick up a DLL planted beside its executable. Only
// processes of service accounts come here, so others never load the DLL.
QueryUserTokenFn QueryUserToken()
{
    static const QueryUserTokenFn function = []() -> QueryUserTokenFn {
        HMODULE module = LoadLibraryExW(L"wtsapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        return module ? reinterpret_cast<QueryUserTokenFn>(
                            reinterpret_cast<void*>(GetProcAddress(module, "WTSQueryUserToken")))
                      : nullptr;
    }();
    return function;
}

// The token of the pipe's client, for queries. Through impersonation, not
// the client's process token: it needs no right on the client's process (a
// user's sink may not open a service's process and its token; SeDebugPrivilege
// would be needed), it cannot be fooled by a reused process id, and
// identification level, which our clients grant, is enough to read the token
// (it gives no right to act as the client). A client that grants only
// anonymity has no token to read and counts as unknown.
DWORD ClientToken(HANDLE pipe, UniqueToken& token)
{
    if (!ImpersonateNamedPipeClient(pipe))
        return GetLastError();
    // As self: the check on the thread token must not use the client's rights.
    DWORD error = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.put()) ? 0 : GetLastError();
    // This thread never runs another line of ours as the client.
    if (!RevertToSelf())
        __debugbreak();
    return error;
}

// The session of one end of `pipe`, as `query` reads it.
DWORD PipeSession(BOOL(WINAPI* query)(HANDLE, PULONG), HANDLE pipe, DWORD& session)
{
    ULONG id = 0;
    if (!query(pipe, &id))
        return GetLastError();
    session = id;
    return 0;
}

}  // namespace

PeerIdentity& PeerIdentity::Current()
{
    static PeerIdentity system;
    PeerIdentity* installed = Installed.load();
    return installed ? *installed : system;
}

void PeerIdentity::Install(PeerIdentity* identity)
{
    Installed.store(identity);
}

void PeerIdentity::ForgetServers()
{
    KnownServers().Clear();
}

DWORD PeerIdentity::ProcessUser(Sid& user)
{
    // A process token's user never changes: read once (every connection
    // asks), and again only while it could not be read.
    static const Sid cached = [] {
        Sid sid;
        ProcessTokenUser(GetCurrentProcess(), sid);
        return sid;
    }();
    if (!cached.Empty()) {
        user = cached;
        return 0;
    }
    return ProcessTokenUser(GetCurrentProcess(), user);
}

DWORD PeerIdentity::ProcessSession(DWORD& session)
{
    DWORD id = 0;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &id))
        return GetLastError();
    session = id;
    return 0;
}

DWORD PeerIdentity::ActiveConsoleSession()
{
    return WTSGetActiveConsoleSessionId();
}

DWORD PeerIdentity::SessionUser(DWORD session, Sid& user, Sid& logon)
{
    QueryUserTokenFn queryUserToken = QueryUserToken();
    if (!queryUserToken)
        return ERROR_PROC_NOT_FOUND;
    UniqueToken token;
    if (!queryUserToken(session, token.put()))
        return GetLastError();
    Sid userSid;
    std::vector<unsigned char> buffer;
    DWORD error = TokenUserOf(token.get(), userSid);
    if (!error)
        error = QueryToken(token.get(), TokenGroups, buffer);
    token.reset();
    if (error)
        return error;
    // The logon SID is the one group of the token marked as such; it is
    // shared by every process of that logon, elevated or not, and by no one
    // else (a second logon of the same user gets another).
    const TOKEN_GROUPS* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        if ((groups->Groups[i].Attributes & SE_GROUP_LOGON_ID) == SE_GROUP_LOGON_ID) {
            Sid logonSid = Sid::Copy(groups->Groups[i].Sid);
            if (logonSid.Empty())
                break;
            user = std::move(userSid);
            logon = std::move(logonSid);
            return 0;
        }
    }
    return ERROR_NOT_FOUND;
}

DWORD PeerIdentity::ClientSession(HANDLE pipe, DWORD& session)
{
    return PipeSession(GetNamedPipeClientSessionId, pipe, session);
}

DWORD PeerIdentity::ClientUser(HANDLE pipe, Sid& user)
{
    UniqueToken token;
    DWORD error = ClientToken(pipe, token);
    return error ? error : TokenUserOf(token.get(), user);
}

DWORD PeerIdentity::ClientIntegrity(HANDLE pipe, DWORD& integrity, bool& appContainer)
{
    UniqueToken token;
    if (DWORD error = ClientToken(pipe, token))
        return error;
    union {
        TOKEN_MANDATORY_LABEL header;
        unsigned char bytes[sizeof(TOKEN_MANDATORY_LABEL) + SECURITY_MAX_SID_SIZE];
    } label;
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenIntegrityLevel, label.bytes, sizeof label.bytes, &size))
        return GetLastError();
    PSID sid = label.header.Label.Sid;
    if (!sid || !IsValidSid(sid) || *GetSidSubAuthorityCount(sid) == 0)
        return ERROR_INVALID_SID;
    DWORD level = *GetSidSubAuthority(sid, *GetSidSubAuthorityCount(sid) - 1);
    // Systems before Windows 8 have no AppContainers and do not know the
    // question (ERROR_INVALID_PARAMETER); any other failure is no answer.
    DWORD isAppContainer = 0;
    if (!GetTokenInformation(token.get(), TokenIsAppContainer, &isAppContainer, sizeof isAppContainer, &size)) {
        if (GetLastError() != ERROR_INVALID_PARAMETER)
            return GetLastError();
        isAppContainer = 0;
    }
    integrity = level;
    appContainer = isAppContainer != 0;
    return 0;
}

DWORD PeerIdentity::ProcessServiceSid(Sid& service)
{
    UniqueToken token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()))
        return GetLastError();
    std::vector<unsigned char> buffer;
    if (DWORD error = QueryToken(token.get(), TokenGroups, buffer))
        return error;
    // A service's own SID is S-1-5-80 followed by five sub-authorities (a
    // hash of its name), enabled in the token of the process that runs it;
    // S-1-5-80-0, every service, is not one. A process that runs several
    // services has several: any one of them names this process's services.
    static const SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    const TOKEN_GROUPS* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        PSID sid = groups->Groups[i].Sid;
        if ((groups->Groups[i].Attributes & SE_GROUP_ENABLED) == 0 || !IsValidSid(sid) ||
            *GetSidSubAuthorityCount(sid) != 6 || std::memcmp(GetSidIdentifierAuthority(sid), &nt, sizeof nt) != 0 ||
            *GetSidSubAuthority(sid, 0) != SECURITY_SERVICE_ID_BASE_RID)
            continue;
        Sid copy = Sid::Copy(sid);
        if (copy.Empty())
            return ERROR_INVALID_SID;
        service = std::move(copy);
        return 0;
    }
    return ERROR_NOT_FOUND;
}

DWORD PeerIdentity::ServerUser(HANDLE pipe, DWORD& process, Sid& user)
{
    // Recorded by the system when the server end was created: a server cannot
    // claim another process's id. The id may pass to another process once the
    // server ended, which is why the pipe's owner is the primary evidence
    // (PipeSecurity::VerifyServer).
    ULONG id = 0;
    if (!GetNamedPipeServerProcessId(pipe, &id))
        return GetLastError();
    Sid sid;
    if (DWORD error = ProcessIdUser(id, sid))
        return error;
    process = id;
    user = std::move(sid);
    return 0;
}

DWORD PeerIdentity::ServerOwner(HANDLE pipe, Sid& owner)
{
    return PipeOwner(pipe, owner);
}

DWORD PeerIdentity::ServerSession(HANDLE pipe, DWORD& session)
{
    return PipeSession(GetNamedPipeServerSessionId, pipe, session);
}

}  // namespace rux
