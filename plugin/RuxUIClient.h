// The client object behind RuxUIClientNew: it serves the user interface of one
// terminal-services session over the messaging library and pushes the engine's
// state to it.
//
// Threads and the client lock (`lock`, never nested):
//   - host threads: StartWorker, SetSession, Perform, Destroy;
//   - one pool thread per worker run: WorkerProc and everything it dispatches
//     (OnService, AdviseUI, UpdateUIStatistic, the notifier);
//   - the run's reply threads (ReplyPool), which send the answers to queries;
//   - the messaging library's threads: TraceProc only, which touches no state.
// The lock guards state only and is held briefly: never across pipe I/O or an
// engine call, so that no host call waits for another process or for the
// engine. The service name, the exit and advise events and `closing` are read
// and written under it. The session id and the status are atomic words,
// written under it too; they are read without it only where a stale value
// does no harm (each marked): the early "no session" checks, the engine's
// session of a push or a command, the worker's statistics watch, which
// follows the id on the next advise signal, and the diagnostic getters. The
// statistics event and key belong to the worker (and to the constructor
// before it).
//
// Exchanges with other processes: every push, the dialog request and every
// reply is one exchange (RuxOpenExchange) with a deadline of its own and the
// gate's cancel event (ExchangeGate); the peer's open passes the gate too. Destroy closes the gate, which cancels
// what is in flight and lets nothing start, waits for those in flight to
// leave, and only then sends the final "Status" 0: no message of the client
// reaches the user interface after it. Destroy does not wait for a drain or
// an engine call: the drain looks at `closing` between calls, and Destroy
// waits for the run as long as ever (DestroyWaitMilliseconds).
//
// Lifetime (RefCounted): the host holds the reference the client is made
// with, from RuxUIClientNew to Destroy, and every queued worker run holds one
// until it ends; a run gives its reference back just before it signals done.
// So when Destroy sees the run end within its 1,000 ms wait, it gives back the
// last reference and the whole shutdown (trace callback off, messaging
// library exit, members released) is done when it returns, on the host's
// thread. Only a run still busy after the wait frees the client itself, on
// its pool thread, once it has ended, so no run ever touches a freed client.
#pragma once

#include "contracts/OLVRuxUIPlugin.h"
#include "plugin/ExchangeGate.h"
#include "plugin/RefCounted.h"
#include "plugin/SettingNameTable.h"
#include "base/SharedHandle.h"
#include "plugin/VtStatistic.h"
#include "contracts/RuxApi.h"
#include "contracts/VtApi.h"
#include "runtime/ExclusiveLock.h"
#include "base/ThreadSafety.h"
#include "runtime/WorkerThread.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

class ReplyPool;

class RuxUIClient : public WorkerThread, public OLVRuxUIPlugin, private RefCounted<RuxUIClient> {
public:
    // No session.
    static constexpr uint32_t NoSession = 0xFFFFFFFF;
    // How long the worker waits for an event before it checks the active console
    // session and the statistics key again.
    static constexpr DWORD DefaultSessionCheckInterval = 10000;
    // How long Destroy waits for a running worker to stop.
    static constexpr DWORD DestroyWaitMilliseconds = 1000;
    // The largest cookie a query may have its answer carry back (RuxGetItemSize).
    static constexpr uint32_t MaxCookieBytes = 64 * 1024;
    // The whole exchange of one push or of the dialog request.
    static constexpr uint32_t PushExchangeMilliseconds = 2000;
    // How long Destroy waits for cancelled exchanges to leave before the final
    // status (they leave at their next step, within milliseconds).
    static constexpr DWORD CancelWaitMilliseconds = 500;

    // For the active console session. Throws std::bad_alloc (and what
    // FormatString throws, also when the gate's events cannot be made); the
    // messaging library is left as it was then.
    RuxUIClient();

    // OLVRuxUIPlugin. StartWorker while a run is queued or serving only logs
    // (level 2): the run in progress already serves the client.
    void StartWorker() override;
    void SetSession(int32_t sessionId) override OLV_EXCLUDES(lock);
    int32_t Perform() override OLV_EXCLUDES(lock);
    void Destroy() override OLV_EXCLUDES(lock);

    // The messaging library's trace callback: logs the line at level 2.
    static void TraceProc(const char* text);

    // Takes effect from the worker's next wait on.
    void SetSessionCheckInterval(DWORD milliseconds) noexcept { sessionCheckInterval.store(milliseconds); }
    // Both words are read whole without the lock: a snapshot for diagnostics.
    uint32_t SessionId() const noexcept { return OLV_TS_UNCHECKED_READ(sessionId).load(); }
    std::string ServiceName() OLV_EXCLUDES(lock);
    int32_t Status() const noexcept { return OLV_TS_UNCHECKED_READ(status).load(); }
    // The event the statistics key watch signals; the worker waits on it.
    HANDLE StatisticsEvent() const noexcept { return statsEvent.get(); }
    const SettingNameTable& SettingNames() const noexcept { return settingNames; }
    // Clients constructed and not yet freed in this process.
    static long LiveClients() noexcept { return liveClients.load(); }

    // Copies a string or byte-string item into `buffer`, terminated. False for
    // any other type, a null item or a failed copy.
    static bool GetItemString(RuxItem item, char (&buffer)[256]);
    // The version of an engine component in the ANSI code page: its text up
    // to the terminator, or the whole field when the engine left none; empty
    // when it cannot be converted. Throws std::bad_alloc.
    static std::string ComponentVersionText(const VtComponentVersion& component);

protected:
    void WorkerProc() override;
    // Gives the run's reference back, then signals done; frees the client when
    // that reference was the last (the host has stopped waiting).
    void SignalDone() override;

private:
    // The tests reach single dispatch and update steps through it, with items
    // and sessions that Rux.dll and Wine never produce.
    friend class RuxUIClientProbe;
    friend class RefCounted<RuxUIClient>;

    // Only by the last reference given back (Destroy, or the end of a run that
    // outlived Destroy's wait): the trace callback off, the messaging
    // library's exit, the members.
    ~RuxUIClient() override;

    // The run's own sink and service "SB" and its peer to the session's user
    // interface. A sink that could not start is tried again at every
    // periodic check; `announce` asks the loop for the first push.
    struct RunEndpoints {
        HANDLE sinkEvent;
        HANDLE serviceEvent;
        RuxSink sink = nullptr;
        RuxService service = nullptr;
        RuxConnection peer = nullptr;
        unsigned failedStarts = 0;
        bool announce = false;
    };

    // Sets the session id and its service name, "QClient(%d)" of the id,
    // together: the only place either is set. Throws what FormatString
    // throws, and then changes neither.
    void SetSessionLocked(uint32_t id) OLV_REQUIRES(lock);

    void RunWorker();
    // Starts the sink and its service; the first failure is logged, and the
    // start after failures. False (nothing started) when either failed.
    bool StartEndpoints(RunEndpoints& endpoints) noexcept;
    void Announce(RunEndpoints& endpoints) OLV_EXCLUDES(lock);
    bool WaitAndDispatch(HANDLE (&waits)[5], RunEndpoints& endpoints, ReplyPool& replies) OLV_EXCLUDES(lock);
    void CheckSession() OLV_EXCLUDES(lock);
    // True once Destroy has begun (a brief look under the lock).
    bool Closing() OLV_EXCLUDES(lock);

    // Dispatch (worker thread, without the lock). A query's answer goes to
    // `replies`; without a pool it is dropped.
    void OnService(RuxService service, ReplyPool* replies) OLV_EXCLUDES(lock);
    void OnCall(RuxItem call, char (&command)[256]) OLV_EXCLUDES(lock);
    void OnQuery(RuxService service, RuxItem call, char (&command)[256], ReplyPool* replies) OLV_EXCLUDES(lock);
    void AnswerSettings(RuxService service, RuxItem proc, RuxItem cookie, const char* sourceText,
                        const char* serviceText, ReplyPool& replies) OLV_EXCLUDES(lock);
    void ClearVirtualData() OLV_EXCLUDES(lock);
    void ResetMessages() OLV_EXCLUDES(lock);

    // Updates of the user interface.
    bool AdviseUI() OLV_EXCLUDES(lock);
    // The sink a push of the worker goes to (the service name); false once
    // Destroy has begun. Throws std::bad_alloc.
    bool PushSinkUnlessClosing(std::string& sinkName) OLV_EXCLUDES(lock);
    bool UpdateUIStatistic() OLV_EXCLUDES(lock);
    bool UpdateUIVtStatus() OLV_EXCLUDES(lock);
    void GetVtStatistic(uint32_t session, VtStatistic& statistic) OLV_EXCLUDES(lock);

    // The statistics key watch. SetupStatisticNotifier ends the previous watch
    // and sets one up for the current session; FollowSessionWithNotifier does
    // so when the session or its user changed since, or the watch is closed
    // (SetSession, "Enable", the periodic check). A watch whose user has gone
    // is so closed at once, rather than holding the logged-off user's hive
    // loaded.
    void SetupStatisticNotifier() OLV_EXCLUDES(lock);
    void FollowSessionWithNotifier() OLV_EXCLUDES(lock);
    void UpdateStatisticNotifier() OLV_EXCLUDES(lock);
    // Whether the user logged on to `session` is no longer the one whose key
    // the watch holds (nobody, or someone else).
    bool WatchedUserGone(uint32_t session) const;

    std::atomic<uint32_t> sessionId OLV_GUARDED_BY(lock){NoSession};
    std::string serviceName OLV_GUARDED_BY(lock);
    std::atomic<int32_t> status OLV_GUARDED_BY(lock){0};
    SharedEvent exitEvent OLV_GUARDED_BY(lock);
    SharedEvent statsEvent;
    SharedEvent adviseEvent OLV_GUARDED_BY(lock);
    ExclusiveLock lock;
    SharedKey statsKey;
    SettingNameTable settingNames;
    // The session the watch was last set up for, and the SID of the user whose
    // key it holds (empty while none is open). Like statsKey, used by the
    // constructor and then only by the worker.
    uint32_t watchedSession = NoSession;
    std::wstring watchedUser;

    // Every exchange of the client with another process passes it.
    ExchangeGate gate;

    std::atomic<DWORD> sessionCheckInterval{DefaultSessionCheckInterval};
    // Set by Destroy under the lock: no push after the final "Status" 0, and a
    // run that stores its exit event afterwards ends at once.
    bool closing OLV_GUARDED_BY(lock) = false;
    // Set when a run enters WorkerProc: tells a failed queueing from a run that
    // has already ended.
    std::atomic<bool> runEntered{false};
    // Serialises StartWorker calls of several host threads.
    std::mutex startMutex;

    static inline std::atomic<long> liveClients{0};
};
