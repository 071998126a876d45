// The worker run: the client's own sink and service "SB", the peer to the
// session's user interface, and the wait on the five events.
#include "plugin/ClientPlatform.h"
#include "plugin/RuxUIClient.h"

#include "log/OlvLog.h"
#include "runtime/FormatString.h"

#include <exception>

namespace {

// Index in the wait array = what the worker does.
enum WaitIndex : DWORD {
    ExitIndex = 0,     // end the loop
    ServiceIndex = 1,  // OnService
    SinkIndex = 2,     // AdviseUI, then re-ensure the peer
    StatsIndex = 3,    // re-arm the registry watch, then UpdateUIStatistic
    AdviseIndex = 4,   // AdviseUI
    WaitCount = 5,
};

// After a failed wait the loop does not go round again at once: it waits this
// long for the exit event alone.
constexpr DWORD FailedWaitBackoff = 1000;

HANDLE NewAutoResetEvent(DWORD& firstError)
{
    HANDLE event = Platform().createAutoResetEvent();
    if (!event && firstError == ERROR_SUCCESS)
        firstError = GetLastError();
    return event;
}

}  // namespace

void RuxUIClient::WorkerProc()
{
    runEntered = true;
    try {
        RunWorker();
    } catch (const std::exception& e) {
        OlvLog_Print(OlvLogError, L"RuxUIClient::WorkerProc: %S", e.what());
    } catch (...) {
        OlvLog_Print(OlvLogError, L"RuxUIClient::WorkerProc: unknown exception");
    }
}

void RuxUIClient::RunWorker()
{
    DWORD createError = ERROR_SUCCESS;
    // The run owns the sink and service events; the exit and advise events go
    // into the client, and the run keeps its own reference to them (and to the
    // statistics event) so that nothing it waits on closes under the wait.
    SharedEvent sinkEvent(NewAutoResetEvent(createError));
    SharedEvent serviceEvent(NewAutoResetEvent(createError));
    SharedEvent exit(NewAutoResetEvent(createError));
    SharedEvent advise(NewAutoResetEvent(createError));
    SharedEvent stats;
    {
        ExclusiveLockHolder holder(lock);
        exitEvent = exit;
        adviseEvent = advise;
        // A run that the pool starts only after Destroy has looked for the exit
        // event has nothing left to serve.
        if (closing)
            return;
    }
    stats = statsEvent;
    if (!sinkEvent.valid() || !serviceEvent.valid() || !exit.valid() || !advise.valid())
        OlvLog_Print(OlvLogError, L"RuxUIClient::WorkerProc: failed to create events %d", createError);

    HANDLE waits[WaitCount] = {exit.get(), serviceEvent.get(), sinkEvent.get(), stats.get(), advise.get()};

    // Copied before the sink starts: nothing below the sink's start may throw
    // past the stop calls.
    std::string peerName = ServiceName();
    RuxSink sink = RuxStartSink("SB", sinkEvent.get());
    if (!sink)
        OlvLog_Print(OlvLogError, L"RuxUIClient::WorkerProc: failed to start sink");
    RuxService service = RuxStartService(sink, "SB", serviceEvent.get());
    if (!service)
        OlvLog_Print(OlvLogError, L"RuxUIClient::WorkerProc: failed to start service");

    // Every event of the wait array is required: a null handle in it would make
    // every wait fail at once, and the run would serve nothing.
    if (sinkEvent.valid() && serviceEvent.valid() && exit.valid() && sink && service && stats.valid() &&
        advise.valid()) {
        RuxConnection peer = RuxOpenPeer(sink, peerName.c_str());
        if (!peer)
            OlvLog_Print(OlvLogImportant, L"OLVRuxUIPlugin::WorkerProc: failed to open peer");
        OlvLog_Print(OlvLogInfo, L"RuxUIClient::WorkerProc: start service and waiting events");
        bool waiting = true;
        bool first = true;
        while (waiting) {
            // A handler that runs out of memory loses its one message; the run
            // goes on serving.
            try {
                if (first) {
                    first = false;
                    FollowSessionWithNotifyer();
                    AdviseUI();
                }
                waiting = WaitAndDispatch(waits, sink, service, peer);
            } catch (const std::exception& e) {
                OlvLog_Print(OlvLogError, L"RuxUIClient::WorkerProc: %S", e.what());
            }
        }
        RuxCloseConnection(peer);
    } else {
        OlvLog_Print(OlvLogError, L"RuxUIClient::WorkerProc: some objects or events not create!");
    }

    RuxStopService(service);
    RuxStopSink(sink);
}

bool RuxUIClient::WaitAndDispatch(HANDLE (&waits)[5], RuxSink sink, RuxService service, RuxConnection& peer)
{
    DWORD result = WaitForMultipleObjects(WaitCount, waits, FALSE, sessionCheckInterval.load());
    switch (result) {
    case WAIT_OBJECT_0 + ExitIndex:
        OlvLog_Print(OlvLogTrace, L"RuxUIClient::WorkerProc: exit event is signalize");
        return false;
    case WAIT_OBJECT_0 + ServiceIndex:
        OlvLog_Print(OlvLogTrace, L"RuxUIClient::WorkerProc: service event is signalize");
        OnService(service);
        return true;
    case WAIT_OBJECT_0 + SinkIndex:
        OlvLog_Print(OlvLogTrace, L"RuxUIClient::WorkerProc: sink event is signalize");
        AdviseUI();
        RuxEnsurePeer(sink, ServiceName().c_str(), &peer);
        return true;
    case WAIT_OBJECT_0 + StatsIndex:
        UpdateStatisticNotifyer();
        UpdateUIStatistic();
        return true;
    case WAIT_OBJECT_0 + AdviseIndex:
        // A new session (SetSession, "Enable") gets its user's watch first.
        FollowSessionWithNotifyer();
        AdviseUI();
        return true;
    case WAIT_TIMEOUT:
        CheckSession();
        return true;
    case WAIT_FAILED: {
        DWORD error = GetLastError();
        OlvLog_Print(OlvLogError, L"RuxUIClient::WorkerProc: wait failed %d", error);
        // Back off instead of spinning, but still end on the exit event.
        DWORD backoff = WaitForSingleObject(waits[ExitIndex], FailedWaitBackoff);
        if (backoff == WAIT_OBJECT_0)
            return false;
        if (backoff == WAIT_FAILED)
            Sleep(FailedWaitBackoff);
        return true;
    }
    default:
        return true;
    }
}

// The periodic check: follow a change of the active console session, retry a
// statistics key that could not be opened, and close one whose user has gone.
void RuxUIClient::CheckSession()
{
    uint32_t active = Platform().activeConsoleSession();
    bool changed = false;
    {
        // The id and the name change together under the lock, as host threads
        // read them under it. The notifier and the push take the lock
        // themselves, so they run after it is released.
        ExclusiveLockHolder holder(lock);
        if (active != sessionId.load()) {
            sessionId = active;
            serviceName = FormatString("QClient(%d)", active);
            changed = true;
        }
    }
    if (changed) {
        OlvLog_Print(OlvLogInfo, L"RuxUIClient::WorkerProc: new session id = %d", active);
        SetupStatisticNotifyer();
        AdviseUI();
    }
    FollowSessionWithNotifyer();
}
