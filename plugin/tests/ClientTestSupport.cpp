#include "plugin/tests/ClientTestSupport.h"

#include "log/reader/LogFileReader.h"
#include "log/OlvLog.h"
#include "log/ProcessLogControl.h"
#include "plugin/ClientPlatform.h"
#include "plugin/RuxUIClientNew.h"
#include "contracts/RuxExtensions.h"
#include "tests/support/ItemText.h"
#include "tests/support/ProcessRun.h"
#include "vtapi/EngineState.h"

#include <sddl.h>

#include <atomic>
#include <cstdio>

namespace clienttest {

using testsupport::Narrow;

std::string SessionSinkName()
{
    char name[32];
    std::snprintf(name, sizeof name, "QClient(%u)", static_cast<unsigned>(WTSGetActiveConsoleSessionId()));
    return name;
}

UiSink::UiSink(const std::string& sinkName, const char* serviceName)
    : name(sinkName),
      serviceName(serviceName),
      sinkEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      serviceEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr))
{
    sink = RuxStartSink(name.c_str(), sinkEvent.get());
    if (sink)
        service = RuxStartService(sink, serviceName, serviceEvent.get());
}

UiSink::~UiSink()
{
    RuxCloseConnection(peer);
    RuxStopService(service);
    RuxStopSink(sink);
}

bool UiSink::Next(UiMessage& message, DWORD timeout)
{
    DWORD start = GetTickCount();
    for (;;) {
        RuxItem item = nullptr;
        int32_t kind = RuxPopCall(service, &item);
        if (kind != RuxResult_Empty) {
            message.kind = kind;
            message.text = testsupport::ItemText(item);
            return true;
        }
        DWORD spent = GetTickCount() - start;
        if (spent >= timeout)
            return false;
        WaitForSingleObject(serviceEvent.get(), timeout - spent);
    }
}

bool UiSink::TakeAllSent(std::vector<UiMessage>& messages, DWORD timeout)
{
    messages.clear();
    const std::string marker = "{testMarker:" + std::to_string(++markers) + "}";
    RuxItem item = RuxBuildItem("{s:i}", "testMarker", static_cast<int32_t>(markers));
    int32_t sent = 0;
    if (RuxConnection connection = RuxOpenConnection(name.c_str())) {
        if (RuxService self = RuxOpenService(connection, serviceName.c_str())) {
            sent = RuxUpdate(self, 0, item);
            RuxCloseService(self);
        }
        RuxCloseConnection(connection);
    }
    RuxReleaseItem(item);
    for (UiMessage message; sent && Next(message, timeout);) {
        if (message.kind == RuxResult_Update && message.text == marker)
            return true;
        messages.push_back(message);
    }
    return false;
}

bool UiSink::NextOfKind(int32_t kind, UiMessage& message, DWORD timeout)
{
    DWORD start = GetTickCount();
    for (;;) {
        DWORD spent = GetTickCount() - start;
        if (spent >= timeout || !Next(message, timeout - spent))
            return false;
        if (message.kind == kind)
            return true;
    }
}

bool UiSink::OpenPeer(const char* peerName)
{
    peer = RuxOpenPeer(sink, peerName);
    return peer != nullptr;
}

bool SendCall(RuxItem item)
{
    int32_t sent = 0;
    if (RuxConnection connection = RuxOpenConnection("SB")) {
        if (RuxService service = RuxOpenService(connection, "SB")) {
            sent = RuxCall(service, 0, item, 0);
            RuxCloseService(service);
        }
        RuxCloseConnection(connection);
    }
    RuxReleaseItem(item);
    return sent != 0;
}

bool SendQuery(const char* proc, RuxItem arg, const char* cookie, const char* replySink, const char* replyService)
{
    return SendQuery(proc, arg, RuxBuildItem("s", cookie), replySink, replyService);
}

bool SendQuery(const char* proc, RuxItem arg, RuxItem cookieItem, const char* replySink, const char* replyService)
{
    RuxItem procItem = RuxBuildItem("s", proc);
    int32_t sent = 0;
    if (RuxConnection connection = RuxOpenConnection("SB")) {
        if (RuxService service = RuxOpenService(connection, "SB")) {
            sent = RuxQuery(service, 0, procItem, arg, cookieItem, replySink, replyService);
            RuxCloseService(service);
        }
        RuxCloseConnection(connection);
    }
    RuxReleaseItem(procItem);
    RuxReleaseItem(cookieItem);
    if (arg)
        RuxReleaseItem(arg);
    return sent != 0;
}

CapturedLog::CapturedLog()
{
    // Plain, so that the lines read back without the private key, and the
    // user's shared stream key is never touched (children inherit it too).
    SetEnvironmentVariableW(L"OLVLOGFLAGS", L"1");
    opened = OlvLog_Open(path.c_str(), 1, uint64_t{64} << 20, false) == OlvLogOpened;
}

CapturedLog::~CapturedLog()
{
    if (opened)
        OlvLog_Close();
}

std::vector<std::string> CapturedLog::Lines()
{
    // The flush entry sends the batch of the open log; it ends its own thread.
    HANDLE flusher = CreateThread(nullptr, 0, OlvLog_FlushThread, nullptr, 0, nullptr);
    if (flusher) {
        WaitForSingleObject(flusher, 5000);
        CloseHandle(flusher);
    }
    std::vector<std::string> lines;
    for (const std::wstring& line : LogFileReader::Lines(path)) {
        // "[tick:pid:tid:level] message"
        size_t end = line.find(L"] ");
        if (line.empty() || line[0] != L'[' || end == std::wstring::npos)
            continue;
        std::wstring prefix = line.substr(1, end - 1);
        std::wstring level = prefix.substr(prefix.rfind(L':') + 1);
        std::string entry = Narrow(level);
        entry.push_back('|');
        entry.append(Narrow(line.substr(end + 2)));
        lines.push_back(std::move(entry));
    }
    return lines;
}

size_t CapturedLog::Count(const std::string& wanted)
{
    size_t count = 0;
    for (const std::string& line : Lines())
        count += line == wanted;
    return count;
}

size_t CapturedLog::CountStarting(const std::string& prefix)
{
    size_t count = 0;
    for (const std::string& line : Lines())
        count += line.rfind(prefix, 0) == 0;
    return count;
}

bool CapturedLog::WaitFor(const std::string& line, size_t times, DWORD timeout)
{
    return WaitUntil([&] { return Count(line) >= times; }, timeout);
}

bool CapturedLog::WaitForStarting(const std::string& prefix, DWORD timeout)
{
    return WaitUntil([&] { return CountStarting(prefix) > 0; }, timeout);
}

HostedClient::HostedClient() : plugin(RuxUIClientNew()), client(static_cast<RuxUIClient*>(plugin)) {}

HostedClient::~HostedClient()
{
    Destroy();
}

void HostedClient::Destroy()
{
    if (plugin)
        plugin->Destroy();
    plugin = nullptr;
    client = nullptr;
}

namespace {

std::atomic<uint32_t> OverriddenActiveSession{0};
std::atomic<uint32_t> MissingUser{RuxUIClient::NoSession};
std::atomic<uint32_t> UnusableUser{RuxUIClient::NoSession};
std::atomic<long> FailingEvents{0};
std::atomic<bool> ThreadAgnosticRefused{false};
std::atomic<DWORD> LastArmedFilter{0};
std::atomic<long> FailingSinkStarts{0};
std::atomic<const char*> DisguisedUser{nullptr};
std::atomic<uint32_t> DisguisedSession{RuxUIClient::NoSession};
std::atomic<unsigned long> ActiveSessionQueries{0};

DWORD WINAPI OverriddenActiveConsoleSession()
{
    ++ActiveSessionQueries;
    return OverriddenActiveSession.load();
}

HANDLE OverriddenSessionUserToken(uint32_t sessionId)
{
    if (sessionId == MissingUser.load())
        return nullptr;
    if (sessionId == UnusableUser.load()) {
        // A token this process may query but not impersonate.
        HANDLE token = nullptr;
        return OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) ? token : nullptr;
    }
    return DefaultClientPlatform.sessionUserToken(sessionId);
}

HANDLE OverriddenAutoResetEvent()
{
    if (FailingEvents.fetch_sub(1) > 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    FailingEvents.store(0);
    return DefaultClientPlatform.createAutoResetEvent();
}

LSTATUS OverriddenWatchKeyChanges(HKEY key, DWORD filter, HANDLE event)
{
    if ((filter & REG_NOTIFY_THREAD_AGNOSTIC) && ThreadAgnosticRefused.load())
        return ERROR_INVALID_PARAMETER;
    LSTATUS result = DefaultClientPlatform.watchKeyChanges(key, filter, event);
    if (result == ERROR_SUCCESS)
        LastArmedFilter.store(filter);
    return result;
}

RuxSink OverriddenStartSink(const char* name, HANDLE event)
{
    if (FailingSinkStarts.fetch_sub(1) > 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    FailingSinkStarts.store(0);
    return DefaultClientPlatform.startSink(name, event);
}

int32_t OverriddenCallSender(RuxService service, RuxCallSender* sender)
{
    int32_t result = DefaultClientPlatform.callSender(service, sender);
    if (result != 0)
        return result;
    if (const char* user = DisguisedUser.load()) {
        PSID sid = nullptr;
        if (ConvertStringSidToSidA(user, &sid)) {
            sender->userBytes = GetLengthSid(sid);
            CopySid(sizeof sender->user, sender->user, sid);
            LocalFree(sid);
        }
    }
    if (DisguisedSession.load() != RuxUIClient::NoSession)
        sender->session = DisguisedSession.load();
    return 0;
}

const ClientPlatform OverriddenPlatform = {&OverriddenActiveConsoleSession, &OverriddenSessionUserToken,
                                           &OverriddenAutoResetEvent, &OverriddenWatchKeyChanges,
                                           &OverriddenStartSink, &OverriddenCallSender};

}  // namespace

PlatformOverride::PlatformOverride()
{
    OverriddenActiveSession.store(WTSGetActiveConsoleSessionId());
    MissingUser.store(RuxUIClient::NoSession);
    UnusableUser.store(RuxUIClient::NoSession);
    FailingEvents.store(0);
    ThreadAgnosticRefused.store(false);
    LastArmedFilter.store(0);
    FailingSinkStarts.store(0);
    DisguisedUser.store(nullptr);
    DisguisedSession.store(RuxUIClient::NoSession);
    CurrentClientPlatform.store(&OverriddenPlatform);
}

PlatformOverride::~PlatformOverride()
{
    CurrentClientPlatform.store(&DefaultClientPlatform);
}

void PlatformOverride::SetActiveSession(uint32_t sessionId)
{
    OverriddenActiveSession.store(sessionId);
}

void PlatformOverride::SetUserMissing(uint32_t sessionId)
{
    MissingUser.store(sessionId);
}

void PlatformOverride::FailNextEvents(long count)
{
    FailingEvents.store(count);
}

void PlatformOverride::SetUserUnusable(uint32_t sessionId)
{
    UnusableUser.store(sessionId);
}

void PlatformOverride::RefuseThreadAgnosticWatch(bool refused)
{
    ThreadAgnosticRefused.store(refused);
}

DWORD PlatformOverride::ArmedWatchFilter() const
{
    return LastArmedFilter.load();
}

void PlatformOverride::FailNextSinkStarts(long count)
{
    FailingSinkStarts.store(count);
}

void PlatformOverride::DisguiseSenders(const char* userSid, uint32_t sessionId)
{
    DisguisedUser.store(userSid);
    DisguisedSession.store(sessionId);
}

bool PlatformOverride::WaitForPeriodicChecks(unsigned checks, DWORD timeout)
{
    const unsigned long before = ActiveSessionQueries.load();
    return WaitUntil([=] { return ActiveSessionQueries.load() - before >= checks; }, timeout);
}

bool WaitNoLiveClients(DWORD timeout)
{
    return WaitUntil([] { return RuxUIClient::LiveClients() == 0; }, timeout);
}

bool ServedClient::Start(DWORD checkInterval)
{
    client.Client()->SetSessionCheckInterval(checkInterval);
    client->StartWorker();
    return ui.NextOfKind(RuxResult_Advise, firstPush);
}

VirtualDataFile::VirtualDataFile(const wchar_t* name) : path(folder / name)
{
    made = EngineState().SetVirtualDataPath(folder.Path()) == ERROR_SUCCESS &&
           UniqueFile(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr)).valid();
}

bool VirtualDataFile::Exists() const
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void ClientTest::SetUp()
{
    ASSERT_NO_FATAL_FAILURE(EngineSandbox::SetUp());
    ASSERT_TRUE(log.Opened());
    RuxInit();
}

void ClientTest::TearDown()
{
    EXPECT_TRUE(WaitNoLiveClients());
    RuxExit();
    EngineSandbox::TearDown();
}

}  // namespace clienttest
