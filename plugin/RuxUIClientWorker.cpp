// The worker run: the client's own sink and service "SB", the peer to the
// session's user interface, the wait on the five events, and the run's reply
// threads.
#include "plugin/ClientPlatform.h"
#include "plugin/ReplyPool.h"
#include "plugin/RuxUIClient.h"

#include "log/OlvLog.h"

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

    // Made before the sink starts: nothing below the sink's start may throw
    // past the stop calls. Its threads are joined before the run ends.
    ReplyPool replies(gate);
    RunEndpoints endpoints{sinkEvent.get(), serviceEvent.get()};
    bool started = StartEndpoints(endpoints);

    // Every event of the wait array is required: a null handle in it would make
    // every wait fail at once, and the run would serve nothing. A sink that
    // could not start is not: the run waits, and tries it again at every
    // periodic check.
    if (sinkEvent.valid() && serviceEvent.valid() && exit.valid() && stats.valid() && advise.valid()) {
        endpoints.announce = started;
        bool waiting = true;
        while (waiting) {
            // A handler that runs out of memory loses its one message; the run
            // goes on serving.
            try {
                if (endpoints.announce) {
                    endpoints.announce = false;
                    Announce(endpoints);
                }
                waiting = WaitAndDispatch(waits, endpoints, replies);
            } catch (const std::exception& e) {
                OlvLog_Print(OlvLogError, L"RuxUIClient::WorkerProc: %S", e.what());
            }
        }
        // Destroy has cancelled the replies in flight: they end at once.
        replies.Stop();
        RuxCloseConnection(endpoints.peer);
    } else {
        OlvLog_Print(OlvLogError, L"RuxUIClient::WorkerProc: some objects or events not create!");
    }

    RuxStopService(endpoints.service);
    RuxStopSink(endpoints.sink);
}

bool RuxUIClient::StartEndpoints(RunEndpoints& endpoints) noexcept
{
    // On Windows a pipe name lives on while any client still holds an end of
    // an old instance, and the first instance of a new sink is refused
    // meanwhile (after Destroy and a new client, or a restart of the host,
    // while a user interface keeps its peer). Wine frees the name at once.
    bool first = endpoints.failedStarts == 0;
    endpoints.sink = Platform().startSink("SB", endpoints.sinkEvent);
    if (!endpoints.sink) {
        if (first)
            OlvLog_Print(OlvLogError, L"RuxUIClient::WorkerProc: failed to start sink");
        ++endpoints.failedStarts;
        return false;
    }
    endpoints.service = RuxStartService(endpoints.sink, "SB", endpoints.serviceEvent);
    if (!endpoints.service) {
        if (first)
            OlvLog_Print(OlvLogError, L"RuxUIClient::WorkerProc: failed to start service");
        RuxStopSink(endpoints.sink);
        endpoints.sink = nullptr;
        ++endpoints.failedStarts;
        return false;
    }
    if (!first)
        OlvLog_Print(OlvLogInfo, L"RuxUIClient::WorkerProc: sink and service started after %u failed tries",
                     endpoints.failedStarts);
    return true;
}

void RuxUIClient::Announce(RunEndpoints& endpoints)
{
    // The peer's hello reaches the user interface: an exchange like a push,
    // none once Destroy has begun.
    {
        ExchangeGate::Pass pass(gate);
        if (!pass.Entered())
            return;
        endpoints.peer = RuxOpenPeer(endpoints.sink, ServiceName().c_str());
    }
    if (!endpoints.peer)
        OlvLog_Print(OlvLogImportant, L"OLVRuxUIPlugin::WorkerProc: failed to open peer");
    OlvLog_Print(OlvLogInfo, L"RuxUIClient::WorkerProc: start service and waiting events");
    FollowSessionWithNotifier();
    AdviseUI();
}

bool RuxUIClient::WaitAndDispatch(HANDLE (&waits)[5], RunEndpoints& endpoints, ReplyPool& replies)
{
    DWORD result = WaitForMultipleObjects(WaitCount, waits, FALSE, sessionCheckInterval.load());
    switch (result) {
    case WAIT_OBJECT_0 + ExitIndex:
        OlvLog_Print(OlvLogTrace, L"RuxUIClient::WorkerProc: exit event is signalize");
        return false;
    case WAIT_OBJECT_0 + ServiceIndex:
        OlvLog_Print(OlvLogTrace, L"RuxUIClient::WorkerProc: service event is signalize");
        OnService(endpoints.service, &replies);
        return true;
    case WAIT_OBJECT_0 + SinkIndex:
        OlvLog_Print(OlvLogTrace, L"RuxUIClient::WorkerProc: sink event is signalize");
        AdviseUI();
        if (ExchangeGate::Pass pass(gate); pass.Entered())
            RuxEnsurePeer(endpoints.sink, ServiceName().c_str(), &endpoints.peer);
        return true;
    case WAIT_OBJECT_0 + StatsIndex:
        UpdateStatisticNotifier();
        UpdateUIStatistic();
        return true;
    case WAIT_OBJECT_0 + AdviseIndex:
        // A new session (SetSession, "Enable") gets its user's watch first.
        FollowSessionWithNotifier();
        AdviseUI();
        return true;
    case WAIT_TIMEOUT:
        CheckSession();
        if (!endpoints.sink && StartEndpoints(endpoints))
            endpoints.announce = true;
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
        // Under the lock, as host threads read the id and the name under it.
        // The notifier and the push take the lock themselves, so they run
        // after it is released. A name that cannot be made leaves the session
        // as it was, for the next check.
        ExclusiveLockHolder holder(lock);
        if (active != sessionId.load()) {
            SetSessionLocked(active);
            changed = true;
        }
    }
    if (changed) {
        OlvLog_Print(OlvLogInfo, L"RuxUIClient::WorkerProc: new session id = %d", active);
        SetupStatisticNotifier();
        AdviseUI();
    }
    FollowSessionWithNotifier();
}
