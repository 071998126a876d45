// Who gets into a sink and whom a client talks to, for a sink that runs as a
// user and one that runs as a service. Wine enforces no DACL and shows every
// process as one user in one session, so the DACLs are read back from the
// real pipe and mutex, and the identities the checks see are injected through
// PeerIdentity; pipes, sinks and connections are real.
#include "rux/client/Connection.h"
#include "rux/tests/RawClient.h"
#include "rux/tests/TraceLines.h"
#include "rux/security/PeerIdentity.h"
#include "rux/security/PipeSecurity.h"
#include "rux/sink/Sink.h"
#include "rux/wire/SinkName.h"
#include "rux/Trace.h"

#include "contracts/RuxApi.h"
#include "contracts/RuxExtensions.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>

using namespace rux;
using ruxtest::UniqueName;

namespace {

const char* const SystemSid = "S-1-5-18";
const char* const LocalServiceSid = "S-1-5-19";
const char* const StrangerSid = "S-1-5-21-1111-2222-3333-1001";
const char* const Session3User = "S-1-5-21-1111-2222-3333-1003";
const char* const Session3Logon = "S-1-5-5-0-4242";
const char* const Session4User = "S-1-5-21-1111-2222-3333-1004";
const char* const Session4Logon = "S-1-5-5-0-4343";
const char* const ServiceSid = "S-1-5-80-11-22-33-44-55";
// The label every sink's pipe and claim carry: medium (S-1-16-8192),
// no-write-up and no-read-up (3); in SDDL, S:(ML;;NWNR;;;ME).
const char* const MediumLabel = "ML 3 S-1-16-8192";

// What the checks see: set by the test, read by the sink's threads.
class FakeIdentity : public PeerIdentity {
public:
    FakeIdentity() { PeerIdentity::Install(this); }
    ~FakeIdentity() override { PeerIdentity::Install(nullptr); }

    std::mutex mutex;
    const char* processUser = nullptr;  // null: this process's real user
    DWORD console = 3;
    // The user and logon SID of each session with somebody logged on.
    std::map<DWORD, std::pair<const char*, const char*>> sessions = {{3, {Session3User, Session3Logon}},
                                                                      {4, {Session4User, Session4Logon}}};
    const char* clientUser = SystemSid;  // null: the client cannot be identified
    DWORD clientSession = 0;
    DWORD clientIntegrity = SECURITY_MANDATORY_MEDIUM_RID;
    bool clientAppContainer = false;
    const char* serverUser = nullptr;   // the server process's user; null: not shown (access denied)
    const char* serverOwner = nullptr;  // its pipe's owner; null: cannot be read
    DWORD serverSession = 1;
    const char* serviceSid = nullptr;  // null: this process runs no service with a SID

    // The SID the test set in `field`, or `unset` when it set none.
    DWORD Answer(const char* const& field, DWORD unset, Sid& sid)
    {
        std::lock_guard<std::mutex> hold(mutex);
        if (!field)
            return unset;
        sid = Sid::Parse(field);
        return 0;
    }

    DWORD ProcessUser(Sid& user) override
    {
        std::lock_guard<std::mutex> hold(mutex);
        if (!processUser)
            return PeerIdentity::ProcessUser(user);
        user = Sid::Parse(processUser);
        return 0;
    }
    DWORD ProcessSession(DWORD& session) override
    {
        session = 1;
        return 0;
    }
    DWORD ActiveConsoleSession() override
    {
        std::lock_guard<std::mutex> hold(mutex);
        return console;
    }
    DWORD SessionUser(DWORD session, Sid& user, Sid& logon) override
    {
        std::lock_guard<std::mutex> hold(mutex);
        auto found = sessions.find(session);
        if (found == sessions.end())
            return ERROR_NO_TOKEN;
        user = Sid::Parse(found->second.first);
        logon = Sid::Parse(found->second.second);
        return 0;
    }
    DWORD ClientSession(HANDLE, DWORD& session) override
    {
        std::lock_guard<std::mutex> hold(mutex);
        session = clientSession;
        return 0;
    }
    DWORD ClientUser(HANDLE, Sid& user) override { return Answer(clientUser, ERROR_CANT_OPEN_ANONYMOUS, user); }
    DWORD ClientIntegrity(HANDLE, DWORD& integrity, bool& appContainer) override
    {
        std::lock_guard<std::mutex> hold(mutex);
        integrity = clientIntegrity;
        appContainer = clientAppContainer;
        return 0;
    }
    DWORD ProcessServiceSid(Sid& service) override { return Answer(serviceSid, ERROR_NOT_FOUND, service); }
    DWORD ServerUser(HANDLE, DWORD& process, Sid& user) override
    {
        process = 4242;
        return Answer(serverUser, ERROR_ACCESS_DENIED, user);
    }
    DWORD ServerOwner(HANDLE, Sid& owner) override { return Answer(serverOwner, ERROR_INVALID_SECURITY_DESCR, owner); }
    DWORD ServerSession(HANDLE, DWORD& session) override
    {
        std::lock_guard<std::mutex> hold(mutex);
        session = serverSession;
        return 0;
    }
    // The server as one user, its pipe owned by that user.
    void Serve(const char* user, DWORD session = 1)
    {
        std::lock_guard<std::mutex> hold(mutex);
        serverUser = serverOwner = user;
        serverSession = session;
    }
};

// Collects the library's trace lines while it lives.
class TraceWatch : public ruxtest::TraceLines {
public:
    TraceWatch() : TraceLines(&Trace::Set) {}
};

std::string RealUser()
{
    Sid user;
    PeerIdentity system;
    EXPECT_EQ(system.ProcessUser(user), 0u);
    return user.Text();
}

// The owner and the ACEs of a kernel object, as "SID mask" in hex.
std::vector<std::string> AccessOf(HANDLE object, std::string& owner)
{
    PSID ownerSid = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    std::vector<std::string> aces;
    if (GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &ownerSid,
                        nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
        return {"<unreadable>"};
    owner = Sid::Copy(ownerSid).Text();
    for (WORD i = 0; dacl && i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        GetAce(dacl, i, reinterpret_cast<void**>(&ace));
        char mask[16];
        std::snprintf(mask, sizeof mask, "%08lx", ace->Mask);
        aces.push_back((ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE ? "" : "NOT-ALLOW ") +
                       Sid::Copy(&ace->SidStart).Text() + " " + mask);
    }
    LocalFree(descriptor);
    return aces;
}

// A descriptor's parts in SDDL ("" where it has none).
std::string Sddl(PSECURITY_DESCRIPTOR descriptor, SECURITY_INFORMATION parts)
{
    char* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, parts, &text, nullptr))
        return "<unconvertible>";
    std::string copy(text);
    LocalFree(text);
    return copy;
}

// The owner, DACL or label of a kernel object as the system reads them back.
std::string SddlOf(HANDLE object, SECURITY_INFORMATION parts)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(object, SE_KERNEL_OBJECT, parts, nullptr, nullptr, nullptr, nullptr, &descriptor) !=
        ERROR_SUCCESS)
        return "<unreadable>";
    std::string text = Sddl(descriptor, parts);
    LocalFree(descriptor);
    return text;
}

// The mandatory labels of a SACL, as "ML <policy> <SID>" ("" for none).
// Read by hand: Wine's SDDL conversion leaves labels out.
std::string LabelsOf(PACL sacl)
{
    std::string labels;
    for (WORD i = 0; sacl && i < sacl->AceCount; ++i) {
        SYSTEM_MANDATORY_LABEL_ACE* ace = nullptr;
        if (!GetAce(sacl, i, reinterpret_cast<void**>(&ace)) || ace->Header.AceType != SYSTEM_MANDATORY_LABEL_ACE_TYPE)
            continue;
        labels += (labels.empty() ? "ML " : "; ML ") + std::to_string(ace->Mask) + " " +
                  Sid::Copy(&ace->SidStart).Text();
    }
    return labels;
}

std::string LabelOf(PSECURITY_DESCRIPTOR descriptor)
{
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL sacl = nullptr;
    if (!GetSecurityDescriptorSacl(descriptor, &present, &sacl, &defaulted))
        return "<unreadable>";
    return present ? LabelsOf(sacl) : std::string();
}

// The label read back from a kernel object carries what was built, where the
// platform keeps one (Windows); Wine accepts a label and keeps none.
void ExpectLabel(HANDLE object, const char* what)
{
    PACL sacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    std::string label = "<unreadable>";
    if (GetSecurityInfo(object, SE_KERNEL_OBJECT, LABEL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, &sacl,
                        &descriptor) == ERROR_SUCCESS) {
        label = LabelsOf(sacl);
        LocalFree(descriptor);
    }
    EXPECT_TRUE(label == MediumLabel || label.empty()) << what << ": " << label;
}

// The label of the pipe's descriptor that `security` gives a new instance.
std::string BuiltPipeLabel(PipeSecurity& security)
{
    std::string label;
    security.CreateInstance([&](SECURITY_ATTRIBUTES* attributes, DWORD) {
        label = LabelOf(attributes->lpSecurityDescriptor);
        return INVALID_HANDLE_VALUE;
    });
    return label;
}

// A client end of the sink's pipe, opened as our connections open it; waits
// (a few seconds at most) for the sink's next instance while all are taken.
UniquePipe OpenClientEnd(const std::string& name)
{
    return ruxtest::OpenSinkPipe(name, PipeSecurity::ClientAccess, 0);
}

std::vector<std::string> PipeAccess(const std::string& name, std::string& owner)
{
    UniquePipe client = OpenClientEnd(name);
    if (!client.valid())
        return {"<no pipe>"};
    return AccessOf(client.get(), owner);
}

// The claim mutex of a sink of this role, made here: a service's claim keeps
// the test's own user out, and Wine enforces that on mutexes.
std::vector<std::string> ClaimAccess(const std::string& name, std::string& owner)
{
    PipeSecurity security;
    if (!security.Build(name))
        return {"<no descriptor>"};
    UniqueMutex claim(CreateMutexW(security.ClaimAttributes(), FALSE, nullptr));
    if (!claim.valid())
        return {"<no claim>"};
    return AccessOf(claim.get(), owner);
}

std::shared_ptr<Sink> StartSink(const std::string& name)
{
    DWORD error = 0;
    auto sink = Sink::Start(name, nullptr, error);
    EXPECT_NE(sink, nullptr) << "error " << error;
    return sink;
}

}  // namespace

// A service's sink once gave the session's user nothing (it could not connect)
// or, where it did, full control (rogue instances, a new DACL); the claim
// mutex took whatever the token's default was.
TEST(PipeSecurity, DaclsAsBuiltForEachRole)
{
    const std::string self = RealUser();
    struct Row {
        const char* role;
        const char* processUser;
        const char* serviceSid;
        std::vector<std::string> pipe;
        std::vector<std::string> claim;
    };
    // A shared account's service gets its own SID in, not every service of
    // the account, and OWNER RIGHTS leaves the owning account only READ_CONTROL.
    const std::string ownerRights = "S-1-3-4 00020000";
    const Row rows[] = {
        {"a user", nullptr, nullptr,
         {"S-1-5-18 001f01ff", self + " 001f01ff"},
         {"S-1-5-18 001f0001", self + " 001f0001"}},
        {"SYSTEM serving session 3", SystemSid, nullptr,
         {"S-1-5-18 001f01ff", std::string(Session3Logon) + " 0012018b"},
         {"S-1-5-18 001f0001"}},
        {"LocalService with a service SID, serving session 3", LocalServiceSid, ServiceSid,
         {"S-1-5-18 001f01ff", std::string(ServiceSid) + " 001f01ff", ownerRights,
          std::string(Session3Logon) + " 0012018b"},
         {"S-1-5-18 001f0001", std::string(ServiceSid) + " 001f0001", ownerRights}},
        {"LocalService without one, serving session 3", LocalServiceSid, nullptr,
         {"S-1-5-18 001f01ff", "S-1-5-19 001f01ff", std::string(Session3Logon) + " 0012018b"},
         {"S-1-5-18 001f0001", "S-1-5-19 001f0001"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.role);
        FakeIdentity identity;
        identity.processUser = row.processUser;
        identity.serviceSid = row.serviceSid;
        std::string name = UniqueName("dacl");
        auto sink = StartSink(name);
        ASSERT_NE(sink, nullptr);
        std::string expectedOwner = row.processUser ? row.processUser : self;
        std::string owner;
        EXPECT_EQ(PipeAccess(name, owner), row.pipe);
        EXPECT_EQ(owner, expectedOwner);
        EXPECT_EQ(ClaimAccess(name, owner), row.claim);
        EXPECT_EQ(owner, expectedOwner);
        // The label, as built and as read back.
        PipeSecurity security;
        ASSERT_TRUE(security.Build(name));
        EXPECT_EQ(BuiltPipeLabel(security), MediumLabel);
        EXPECT_EQ(LabelOf(security.ClaimAttributes()->lpSecurityDescriptor), MediumLabel);
        ExpectLabel(OpenClientEnd(name).get(), "pipe");
        ExpectLabel(UniqueMutex(CreateMutexW(security.ClaimAttributes(), FALSE, nullptr)).get(), "claim");
        // The name stays ours, also where our claim cannot even be opened.
        DWORD error = 0;
        EXPECT_EQ(Sink::Start(name, nullptr, error), nullptr);
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
        sink->Stop();
    }
}

// Fast user switching: the console moves from session 3 to session 4, and the
// pipe must let the new user in and the old one out, although every instance
// of a pipe shares the first one's descriptor.
TEST(PipeSecurity, NewInstancesCarryTheNewConsoleUser)
{
    FakeIdentity identity;
    identity.processUser = SystemSid;
    TraceWatch trace;
    std::string name = UniqueName("switch");
    auto sink = StartSink(name);
    ASSERT_NE(sink, nullptr);
    EXPECT_TRUE(trace.WaitFor("admits the user of session 3 (logon SID " + std::string(Session3Logon) + ")"));
    // Taking the listening instance makes the sink start a spare one.
    UniquePipe first = OpenClientEnd(name);
    ASSERT_TRUE(first.valid());
    {
        std::lock_guard<std::mutex> hold(identity.mutex);
        identity.console = 4;
    }
    UniquePipe second = OpenClientEnd(name);  // takes the spare: the next spare sees session 4
    ASSERT_TRUE(second.valid());
    EXPECT_TRUE(trace.WaitFor("admits the user of session 4 (logon SID " + std::string(Session4Logon) + ")"));
    std::string owner;
    std::vector<std::string> expected = {"S-1-5-18 001f01ff", std::string(Session4Logon) + " 0012018b"};
    EXPECT_EQ(AccessOf(first.get(), owner), expected);  // one descriptor for every instance
    EXPECT_EQ(AccessOf(second.get(), owner), expected);

    // Nobody at the console: only SYSTEM and the sink's own user. The two
    // clients stay, so that the next one again takes the only listening
    // instance and a new one is made.
    {
        std::lock_guard<std::mutex> hold(identity.mutex);
        identity.console = 7;
    }
    UniquePipe third = OpenClientEnd(name);
    ASSERT_TRUE(third.valid());
    EXPECT_TRUE(trace.WaitFor("no user to admit in session 7"));
    EXPECT_EQ(AccessOf(first.get(), owner), std::vector<std::string>{"S-1-5-18 001f01ff"});
    sink->Stop();
}

// A host started at boot, before anyone logged on, let SYSTEM alone in; the
// user who then logged on (or took the console over) was refused by every
// instance already listening, and no new one was made while nobody got in.
// No client connects here after the sink started but the one that reads the
// descriptor: the listening instances themselves must take the new user in.
TEST(PipeSecurity, ListeningInstancesTakeInALogonAndAChangeOfUser)
{
    FakeIdentity identity;
    identity.processUser = SystemSid;
    identity.sessions.erase(3);  // the console's session, nobody logged on yet
    TraceWatch trace;
    std::string name = UniqueName("logon");
    auto sink = StartSink(name);
    ASSERT_NE(sink, nullptr);
    EXPECT_TRUE(trace.WaitFor("no user to admit in session 3"));
    // Held (greeted) for the whole test: the DACL is read back through it,
    // and the instance that listens now was made before the logon.
    ruxtest::RawClient reader(name);
    ASSERT_TRUE(reader.Hello());
    const SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    EXPECT_EQ(SddlOf(reader.Pipe(), parts), "O:SYD:(A;;FA;;;SY)");
    ExpectLabel(reader.Pipe(), "pipe");

    const char* const otherLogon = "S-1-5-5-0-5151";
    struct Step {
        const char* what;
        DWORD console;
        std::pair<const char*, const char*> user;  // the console session's
        const char* traced;
        std::string dacl;
    };
    const Step steps[] = {
        {"a logon at the console", 3, {Session3User, Session3Logon}, "admits the user of session 3 (logon SID S-1-5-5-0-4242)",
         "O:SYD:(A;;FA;;;SY)(A;;0x12018b;;;S-1-5-5-0-4242)"},
        {"another user in the same session", 3, {Session4User, otherLogon},
         "admits the user of session 3 (logon SID S-1-5-5-0-5151)", "O:SYD:(A;;FA;;;SY)(A;;0x12018b;;;S-1-5-5-0-5151)"},
        {"a switch to another session", 4, {Session4User, Session4Logon},
         "admits the user of session 4 (logon SID S-1-5-5-0-4343)", "O:SYD:(A;;FA;;;SY)(A;;0x12018b;;;S-1-5-5-0-4343)"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        {
            std::lock_guard<std::mutex> hold(identity.mutex);
            identity.console = step.console;
            identity.sessions[step.console] = step.user;
        }
        // Seen within SessionRecheckMs + UserRecheckMs (2 s); the bound here
        // only keeps a failure short.
        EXPECT_TRUE(trace.WaitFor(step.traced));
        EXPECT_EQ(SddlOf(reader.Pipe(), parts), step.dacl);
        ExpectLabel(reader.Pipe(), "pipe");
    }
    sink->Stop();
}

// The DACL keeps other users out on Windows only; the accept check turns away
// a client of another session on Wine too, and whatever got in through an
// instance made before the console moved.
TEST(PipeSecurity, AcceptServesSystemItsUserAndTheServedSessionOnly)
{
    FakeIdentity identity;
    identity.processUser = LocalServiceSid;
    identity.Serve(LocalServiceSid);  // our own connections trust the sink
    TraceWatch trace;
    std::string name = UniqueName("accept");
    auto sink = StartSink(name);
    ASSERT_NE(sink, nullptr);
    struct Row {
        const char* user;
        DWORD session;
        DWORD integrity;
        bool appContainer;
        bool served;
    };
    const DWORD medium = SECURITY_MANDATORY_MEDIUM_RID;
    const Row rows[] = {
        {StrangerSid, 5, medium, false, false},     // another session's user
        {nullptr, 5, medium, false, false},         // cannot be identified
        {SystemSid, 0, SECURITY_MANDATORY_SYSTEM_RID, false, true},  // SYSTEM, from any session
        {LocalServiceSid, 0, medium, false, true},  // the sink's own user
        {StrangerSid, 3, medium, false, true},      // the console session's user
        // ... in a sandbox of the same logon: a low-integrity process, an
        // AppContainer's, and one just below medium.
        {StrangerSid, 3, SECURITY_MANDATORY_LOW_RID, false, false},
        {StrangerSid, 3, SECURITY_MANDATORY_LOW_RID, true, false},
        {StrangerSid, 3, medium - 1, false, false},
        {LocalServiceSid, 0, SECURITY_MANDATORY_UNTRUSTED_RID, false, false},
        {StrangerSid, 3, SECURITY_MANDATORY_HIGH_RID, false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.user ? row.user : "unknown") + " in session " + std::to_string(row.session) +
                     " at integrity " + std::to_string(row.integrity) + (row.appContainer ? " in an AppContainer" : ""));
        {
            std::lock_guard<std::mutex> hold(identity.mutex);
            identity.clientUser = row.user;
            identity.clientSession = row.session;
            identity.clientIntegrity = row.integrity;
            identity.clientAppContainer = row.appContainer;
        }
        size_t refusedBefore = trace.Count("refused process");
        DWORD error = 0;
        auto connection = Connection::Open(name, false, std::string(), error);
        ASSERT_NE(connection, nullptr) << "error " << error;
        // A plain connection is greeted with its first service: a refused
        // client learns it there (the sink has no service: served, it hears
        // "not found").
        int32_t status = 0;
        uint32_t id = 0;
        EXPECT_EQ(connection->OpenService("SB", status, id), row.served);
        EXPECT_EQ(trace.Count("refused process"), refusedBefore + (row.served ? 0 : 1));
        connection->Close();
    }
    std::string line = std::string("of session 5, user ") + StrangerSid + " (error 0): neither SYSTEM nor " +
                       LocalServiceSid + ", nor of session 3";
    EXPECT_EQ(trace.Count(line), 1u) << line;
    EXPECT_EQ(trace.Count("integrity level 0x1000, below medium, an AppContainer"), 1u);
    EXPECT_EQ(trace.Count("integrity level 0x1fff, below medium"), 1u);
    sink->Stop();
}

// A process that took the name first (a squatter) must not get a byte: not
// the Hello, which names the caller's sink, nor anything after it. A user
// trusts only SYSTEM and itself; a service also the console session's user,
// whose user interface it serves. The server's user is its pipe's owner: a
// process id can pass to another process once its own ended, so the user
// read through it only has to agree. A user interface's sink is served in
// its session, and a reply for a caller goes only to a process of the
// caller's user in the caller's session.
TEST(PipeSecurity, ClientWritesOnlyToAServerItTrusts)
{
    FakeIdentity identity;
    TraceWatch trace;
    const CallSender caller3{77, 3, Sid::Parse(Session3User)};
    struct Row {
        const char* client;   // null: this process's real user
        const char* owner;    // the pipe's owner; null: cannot be read
        const char* process;  // the server process's user; null: not shown
        DWORD session;        // the server's
        const char* name;     // null: a unique name
        const CallSender* required;
        bool trusted;
    };
    const Row rows[] = {
        {nullptr, StrangerSid, StrangerSid, 1, nullptr, nullptr, false},
        {nullptr, nullptr, nullptr, 1, nullptr, nullptr, false},
        {nullptr, Session3User, Session3User, 1, nullptr, nullptr, false},
        {nullptr, SystemSid, SystemSid, 1, nullptr, nullptr, true},
        {SystemSid, Session3User, Session3User, 3, nullptr, nullptr, true},
        {SystemSid, Session4User, Session4User, 4, nullptr, nullptr, false},
        // A process of the trusted user behind a stranger's pipe (its id
        // passed on), and the owner alone where the process is not shown.
        {nullptr, StrangerSid, SystemSid, 1, nullptr, nullptr, false},
        {nullptr, SystemSid, StrangerSid, 1, nullptr, nullptr, false},
        {nullptr, SystemSid, nullptr, 1, nullptr, nullptr, true},
        // The user interface of session 3, served there or elsewhere.
        {SystemSid, Session3User, Session3User, 3, "QClient(3)", nullptr, true},
        {SystemSid, Session3User, Session3User, 4, "QClient(3)", nullptr, false},
        {SystemSid, SystemSid, SystemSid, 0, "qclient(3)", nullptr, false},
        // A reply for the caller of session 3: only to its user there.
        {SystemSid, Session3User, Session3User, 3, nullptr, &caller3, true},
        {SystemSid, SystemSid, SystemSid, 3, nullptr, &caller3, false},
        {SystemSid, Session4User, Session4User, 3, nullptr, &caller3, false},
        {SystemSid, Session3User, Session3User, 4, nullptr, &caller3, false},
        {SystemSid, Session3User, Session3User, 4, "QClient(4)", &caller3, false},
    };
    for (const Row& row : rows) {
        std::string name = row.name ? row.name : UniqueName("squat");
        SCOPED_TRACE(name + ": " + (row.client ? row.client : "a user") + " facing " +
                     (row.owner ? row.owner : "unknown") + " (process " + (row.process ? row.process : "unknown") +
                     ") in session " + std::to_string(row.session) + (row.required ? ", for the caller" : ""));
        {
            std::lock_guard<std::mutex> hold(identity.mutex);
            identity.processUser = row.client;
            identity.serverOwner = row.owner;
            identity.serverUser = row.process;
            identity.serverSession = row.session;
        }
        size_t refusals = trace.Count("sink '" + name + "' is served by process");
        UniquePipe squatterEnd(CreateNamedPipeW(SinkName::PipePath(name).c_str(),
                                                PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                                PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 4096, 4096, 0, nullptr));
        ASSERT_TRUE(squatterEnd.valid());
        HANDLE squatter = squatterEnd.get();
        UniqueEvent done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        OVERLAPPED overlapped = {};
        overlapped.hEvent = done.get();
        ConnectNamedPipe(squatter, &overlapped);

        DWORD error = 0;
        std::shared_ptr<Connection> opened;
        ExchangeLimits limits;
        limits.timeoutMs = 5000;
        limits.server = row.required;
        std::thread client([&] { opened = Connection::Open(name, !row.required, "Victim", error, &limits); });
        // What the client writes before it gives up, or before it waits for
        // an answer that never comes (until the squatter goes).
        EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 5000), WAIT_OBJECT_0);
        // A plain connection writes nothing until its first service: once its
        // open returned, whatever it wrote is there.
        if (row.required)
            client.join();
        char buffer[256];
        DWORD bytes = 0;
        ResetEvent(overlapped.hEvent);
        BOOL read = ReadFile(squatter, buffer, sizeof buffer, nullptr, &overlapped);
        DWORD readError = read ? 0 : GetLastError();
        if (readError == ERROR_IO_PENDING) {
            if (WaitForSingleObject(overlapped.hEvent, row.required ? 0 : 5000) != WAIT_OBJECT_0)
                CancelIoEx(squatter, &overlapped);
            read = GetOverlappedResult(squatter, &overlapped, &bytes, TRUE);
            readError = read ? 0 : GetLastError();
        } else if (read) {
            GetOverlappedResult(squatter, &overlapped, &bytes, FALSE);
        }
        squatterEnd.reset();
        if (!row.required)
            client.join();

        if (row.trusted) {
            if (row.required) {
                EXPECT_NE(opened, nullptr) << "error " << error;
            } else {
                EXPECT_EQ(opened, nullptr);
                EXPECT_TRUE(read && bytes >= 16 && std::string(buffer, 4) == "RUX1") << "no Hello";
            }
            EXPECT_NE(error, RuxError_ServerNotTrusted);
            EXPECT_EQ(trace.Count("sink '" + name + "' is served by process"), refusals);
        } else {
            EXPECT_EQ(opened, nullptr);
            EXPECT_FALSE(read) << bytes << " bytes reached the squatter";
            EXPECT_EQ(readError, static_cast<DWORD>(ERROR_BROKEN_PIPE));
            EXPECT_EQ(error, RuxError_ServerNotTrusted);
            EXPECT_EQ(trace.Count("sink '" + name + "' is served by process"), refusals + 1);
        }
    }
    EXPECT_EQ(trace.Count(std::string("as ") + Session4User + " (error 0), neither SYSTEM nor " + SystemSid +
                         " nor the console session's user: not connecting"),
              1u);
}

// A process that serves a sink's name before it starts (a squatter, or a sink
// of ours in another process) keeps the sink from starting, and is named: its
// process and its user.
TEST(PipeSecurity, AServerAlreadyOnTheNameIsNamedAndKeepsTheSinkFromStarting)
{
    FakeIdentity identity;
    identity.serverUser = StrangerSid;
    TraceWatch trace;
    std::string name = UniqueName("taken");
    UniquePipe squatter(CreateNamedPipeW(SinkName::PipePath(name).c_str(), PIPE_ACCESS_DUPLEX,
                                         PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 4, 4096, 4096, 0, nullptr));
    ASSERT_TRUE(squatter.valid());
    DWORD error = 0;
    EXPECT_EQ(Sink::Start(name, nullptr, error), nullptr);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(trace.Count("cannot start sink '" + name + "': its pipe is served already, by process 4242 as " +
                         StrangerSid),
              1u);
    squatter.reset();
    auto sink = StartSink(name);
    EXPECT_NE(sink, nullptr);
}
