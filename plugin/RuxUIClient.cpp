#include "plugin/RuxUIClient.h"

#include "log/OlvLog.h"
#include "runtime/CodePageConverter.h"
#include "runtime/FormatString.h"

RuxUIClient::RuxUIClient()
{
    sessionId = WTSGetActiveConsoleSessionId();
    serviceName = FormatString("QClient(%d)", sessionId.load());
    OlvLog_Print(OlvLogImportant, L"RuxUIClient::RuxUIClient: session id = %d", sessionId.load());
    RuxInit();
    RuxSetTraceProc(TraceProc);
    try {
        SetupStatisticNotifyer();
        settingNames.Fill();
    } catch (...) {
        // The caller gets no object to destroy: undo what it would have undone.
        RuxSetTraceProc(nullptr);
        RuxExit();
        throw;
    }
    ++liveClients;
}

RuxUIClient::~RuxUIClient()
{
    RuxSetTraceProc(nullptr);
    RuxExit();
    --liveClients;
    // The members go in reverse order of declaration: the setting table, the
    // statistics key, the lock's event, the advise, statistics and exit events,
    // the service name; then the WorkerThread base, whose done event is
    // signalled by now (see ReleaseReference).
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
    references.fetch_add(1);
    runEntered = false;
    Start();
    // Signalled done without the run having entered WorkerProc means that the
    // pool refused the run: nobody else will drop its reference.
    if (WaitForSingleObject(DoneEvent(), 0) == WAIT_OBJECT_0 && !runEntered.load())
        ReleaseReference();
}

void RuxUIClient::SetSession(int32_t newSessionId)
{
    ExclusiveLockHolder holder(lock);
    uint32_t id = newSessionId == -1 ? WTSGetActiveConsoleSessionId() : static_cast<uint32_t>(newSessionId);
    sessionId = id;
    // Kept in step with the id, as everywhere else the id is set, so that the
    // next push goes to the new session's sink.
    serviceName = FormatString("QClient(%d)", id);
    if (adviseEvent.valid())
        SetEvent(adviseEvent.get());
}

void RuxUIClient::Destroy()
{
    {
        ExclusiveLockHolder holder(lock);
        closing = true;
        status = 0;
    }
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
    ReleaseReference();
}

void RuxUIClient::SignalDone()
{
    WorkerThread::SignalDone();
    // The last access to the client on this run: if the host has gone, this
    // frees it, and the run entry touches nothing of the object afterwards.
    ReleaseReference();
}

void RuxUIClient::ReleaseReference() noexcept
{
    if (references.fetch_sub(1) == 1)
        delete this;
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
