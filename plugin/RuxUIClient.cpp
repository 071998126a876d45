#include "plugin/RuxUIClient.h"

#include "plugin/ClientPlatform.h"

#include "log/OlvLog.h"
#include "runtime/CodePageConverter.h"
#include "runtime/FormatString.h"
#include "base/Mutex.h"

#include <exception>
#include <utility>

namespace {

// The messaging library keeps one trace callback for the process, and every
// client installs the same one. The last client to go removes it, so that a
// client freed late (its run outlived Destroy's wait) does not take it from a
// client made meanwhile.
Mutex TraceProcMutex;
long TracingClients OLV_GUARDED_BY(TraceProcMutex) = 0;

void InstallTraceProc(RuxTraceProcFn proc)
{
    MutexHolder hold(TraceProcMutex);
    ++TracingClients;
    RuxSetTraceProc(proc);
}

void RemoveTraceProc()
{
    MutexHolder hold(TraceProcMutex);
    if (--TracingClients == 0)
        RuxSetTraceProc(nullptr);
}

}  // namespace

RuxUIClient::RuxUIClient()
{
    {
        ExclusiveLockHolder holder(lock);
        SetSessionLocked(Platform().activeConsoleSession());
    }
    OlvLog_Print(OlvLogImportant, L"RuxUIClient::RuxUIClient: session id = %d", sessionId.load());
    RuxInit();
    InstallTraceProc(TraceProc);
    try {
        SetupStatisticNotifier();
        settingNames.Fill();
    } catch (...) {
        // The caller gets no object to destroy: undo what it would have undone.
        RemoveTraceProc();
        RuxExit();
        throw;
    }
    ++liveClients;
}

RuxUIClient::~RuxUIClient()
{
    // A run gives its reference back just before its done signal: when the
    // host's reference was the last, that signal is all the run has left.
    WaitForSingleObject(DoneEvent(), INFINITE);
    RemoveTraceProc();
    RuxExit();
    --liveClients;
    // The members go in reverse order of declaration: the setting table, the
    // statistics key, the lock's event, the advise, statistics and exit events,
    // the service name; then the WorkerThread base, whose done event is
    // signalled by now (see SignalDone).
}

void RuxUIClient::StartWorker()
{
    std::lock_guard<std::mutex> serialised(startMutex);
    // One run serves the client until Destroy ends it: waiting here for it to
    // end, as a second start would, could only hang the host's thread.
    if (WaitForSingleObject(DoneEvent(), 0) != WAIT_OBJECT_0) {
        OlvLog_Print(OlvLogInfo, L"RuxUIClient::StartWorker: WorkerProc already running");
        return;
    }
    AddReference();  // the run's
    runEntered = false;
    Start();
    // Signalled done without the run having entered WorkerProc means that the
    // pool refused the run: nobody else will give its reference back.
    if (WaitForSingleObject(DoneEvent(), 0) == WAIT_OBJECT_0 && !runEntered.load())
        Release();
}

void RuxUIClient::SetSession(int32_t newSessionId)
{
    ExclusiveLockHolder holder(lock);
    uint32_t id = newSessionId == -1 ? Platform().activeConsoleSession() : static_cast<uint32_t>(newSessionId);
    // The name too, so that the next push goes to the new session's sink. No
    // exception reaches the host.
    try {
        SetSessionLocked(id);
    } catch (const std::exception& e) {
        OlvLog_Print(OlvLogError, L"RuxUIClient::SetSession: %S", e.what());
        return;
    }
    if (adviseEvent.valid())
        SetEvent(adviseEvent.get());
}

void RuxUIClient::SetSessionLocked(uint32_t id)
{
    // The name first: when it cannot be made, neither changes, and the next
    // change of session tries again.
    std::string name = FormatString("QClient(%d)", id);
    sessionId = id;
    serviceName = std::move(name);
}

void RuxUIClient::Destroy()
{
    {
        ExclusiveLockHolder holder(lock);
        closing = true;
        status = 0;
    }
    // A push or a reply in flight is cancelled and has left before the final
    // status goes out, so that nothing of the client follows it.
    if (!gate.Close(CancelWaitMilliseconds))
        OlvLog_Print(OlvLogImportant, L"RuxUIClient::~RuxUIClient: an exchange is still in flight");
    UpdateUIVtStatus();

    SharedEvent exit;
    {
        ExclusiveLockHolder holder(lock);
        exit = exitEvent;
    }
    if (exit.valid())
        SetEvent(exit.get());

    if (WaitForSingleObject(DoneEvent(), DestroyWaitMilliseconds) == WAIT_TIMEOUT)
        OlvLog_Print(OlvLogImportant, L"RuxUIClient::~RuxUIClient: WorkerProc not stop");
    // A run gives its reference back before it signals done, so once done is
    // seen the host's is the last and the shutdown completes here, on the
    // host's thread. Only a run still busy now finishes it itself.
    Release();
}

void RuxUIClient::SignalDone()
{
    // The run's last use of the client, and its reference goes first: the host
    // may free the client as soon as done is signalled. When the host has
    // already given up waiting, this reference was the last one, and the run
    // completes the shutdown after signalling done (the base's destructor
    // wants the run marked as ended).
    Release([this] { WorkerThread::SignalDone(); });
}

bool RuxUIClient::Closing()
{
    ExclusiveLockHolder holder(lock);
    return closing;
}

std::string RuxUIClient::ServiceName()
{
    ExclusiveLockHolder holder(lock);
    return serviceName;
}

void RuxUIClient::TraceProc(const char* text)
{
    std::wstring line;
    try {
        line = AnsiToWide(text);
    } catch (...) {
        // The messaging library's thread must not see an exception; the line is
        // logged empty.
    }
    OlvLog_Print(OlvLogInfo, L"RuxUIClient::TraceProc: %s", line.c_str());
}
