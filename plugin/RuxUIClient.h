// The client object behind RuxUIClientNew: it serves the user interface of one
// terminal-services session over the messaging library and pushes the engine's
// state to it.
//
// Threads and the client lock (`lock`, never nested):
//   - host threads: StartWorker, SetSession, Perform, Destroy;
//   - one pool thread per worker run: WorkerProc and everything it dispatches
//     (OnService, AdviseUI, UpdateUIStatistic, the notifier);
//   - the messaging library's threads: TraceProc only, which touches no state.
// SetSession, Perform, OnService, AdviseUI, UpdateUIStatistic and
// UpdateUIVtStatus hold the lock for their whole length. The service name, the
// exit and advise events and `closing` are read and written under it. The
// session id and the status are atomic words, written under it too; they are
// read without it only where a stale value does no harm (each marked): the
// early "no session" checks, the worker's statistics watch, which follows the
// id on the next advise signal, and the diagnostic getters. The statistics
// event and key belong to the worker (and to the constructor before it).
//
// Lifetime: the client is reference-counted. The host holds one reference from
// RuxUIClientNew to Destroy, and every queued worker run holds one until it
// ends; a run drops it just before it signals done. So when Destroy sees the
// run end within its 1,000 ms wait, it holds the last reference and the whole
// shutdown (trace callback off, messaging library exit, members released) is
// done when it returns, on the host's thread. Only a run still busy after the
// wait finishes the shutdown itself once it has ended, so no run ever touches
// a freed client.
#pragma once

#include "contracts/OLVRuxUIPlugin.h"
#include "plugin/SettingNameTable.h"
#include "base/SharedHandle.h"
#include "plugin/VtStatistic.h"
#include "contracts/RuxApi.h"
#include "runtime/ExclusiveLock.h"
#include "base/ThreadSafety.h"
#include "runtime/WorkerThread.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

class RuxUIClient : public WorkerThread, public OLVRuxUIPlugin {
public:
    // No session.
    static constexpr uint32_t NoSession = 0xFFFFFFFF;
    // How long the worker waits for an event before it checks the active console
    // session and the statistics key again.
    static constexpr DWORD DefaultSessionCheckInterval = 10000;
    // How long Destroy waits for a running worker to stop.
    static constexpr DWORD DestroyWaitMilliseconds = 1000;

    // For the active console session. Throws std::bad_alloc (and what
    // FormatString throws); the messaging library is left as it was then.
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

protected:
    void WorkerProc() override;
    // Drops the run's reference, then signals done; frees the client when that
    // reference was the last (the host has stopped waiting).
    void SignalDone() override;

private:
    // The tests reach single dispatch and update steps through it, with items
    // and sessions that Rux.dll and Wine never produce.
    friend class RuxUIClientProbe;

    // Only through Destroy or the end of a run that outlived Destroy's wait:
    // the trace callback off, the messaging library's exit, the members.
    ~RuxUIClient() override;

    void ReleaseReference() noexcept;
    void RunWorker();
    bool WaitAndDispatch(HANDLE (&waits)[5], RuxSink sink, RuxService service, RuxConnection& peer)
        OLV_EXCLUDES(lock);
    void CheckSession() OLV_EXCLUDES(lock);

    // Dispatch (worker thread, under the lock).
    void OnService(RuxService service) OLV_EXCLUDES(lock);
    void OnCall(RuxItem call, char (&command)[256]) OLV_REQUIRES(lock);
    void OnQuery(RuxItem call, char (&command)[256]) OLV_REQUIRES(lock);
    void ClearVirtualData() OLV_REQUIRES(lock);
    void ResetMessages() OLV_REQUIRES(lock);

    // Updates of the user interface.
    bool AdviseUI() OLV_EXCLUDES(lock);
    bool UpdateUIStatistic() OLV_EXCLUDES(lock);
    bool UpdateUIVtStatus() OLV_EXCLUDES(lock);
    void GetVtStatistic(VtStatistic& statistic) OLV_REQUIRES(lock);

    // The statistics key watch. SetupStatisticNotifyer ends the previous watch
    // and sets one up for the current session; FollowSessionWithNotifyer does
    // so when the session or its user changed since, or the watch is closed
    // (SetSession, "Enable", the periodic check). A watch whose user has gone
    // is so closed at once, rather than holding the logged-off user's hive
    // loaded.
    void SetupStatisticNotifyer() OLV_EXCLUDES(lock);
    void FollowSessionWithNotifyer() OLV_EXCLUDES(lock);
    void UpdateStatisticNotifyer() OLV_EXCLUDES(lock);
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

    std::atomic<DWORD> sessionCheckInterval{DefaultSessionCheckInterval};
    // Set by Destroy under the lock: no push after the final "Status" 0, and a
    // run that stores its exit event afterwards ends at once.
    bool closing OLV_GUARDED_BY(lock) = false;
    // The host's reference plus one per queued run.
    std::atomic<long> references{1};
    // Set when a run enters WorkerProc: tells a failed queueing from a run that
    // has already ended.
    std::atomic<bool> runEntered{false};
    // Serialises StartWorker calls of several host threads.
    std::mutex startMutex;

    static inline std::atomic<long> liveClients{0};
};
