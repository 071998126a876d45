// The watch on the session user's statistics key: every change of a value in
// "Stats" or below, and every sub-key created or deleted there, signals the
// statistics event, on which the worker pushes fresh counters. A change
// notification fires once per arming, so the worker re-arms it each time.
#include "plugin/ClientPlatform.h"
#include "plugin/RuxUIClient.h"

#include "log/OlvLog.h"
#include "runtime/Impersonator.h"

namespace {

// The first part ends with its separator; the key name is appended as is.
constexpr const wchar_t* StatisticsKeyPath = L"Software\\Halvern\\OLV\\" L"Stats";

}  // namespace

void RuxUIClient::SetupStatisticNotifyer()
{
    // The worker's watch reads the id without the lock: a change after this
    // read signals the advise event, and FollowSessionWithNotifyer catches up.
    uint32_t session = OLV_TS_UNCHECKED_READ(sessionId).load();
    OlvLog_Print(OlvLogImportant, L"RuxUIClient::SetupStatisticNotifyer: set to session id = %d", session);
    // The previous watch ends before anything below can return early: a key
    // left open would be the previous session's user's, and the time-out
    // retries only a closed one. Closing it ends its pending notification.
    statsKey.reset();
    watchedSession = session;

    // Created even without a session: the worker's wait needs the event.
    if (!statsEvent.valid())
        statsEvent = SharedEvent(Platform().createAutoResetEvent());
    if (session == NoSession)
        return;

    UniqueToken token(Platform().sessionUserToken(session));
    if (!token.valid()) {
        OlvLog_Print(OlvLogError, L"RuxUIClient::SetupStatisticNotifyer: failed to open token session session id = %d",
                     session);
        return;
    }

    // The key is opened as the session's user, so that it is that user's hive;
    // the impersonation ends with this scope, before the token closes.
    Impersonator impersonator(token.get());

    // The registry calls return their error instead of setting the thread's
    // last error, so the returned code is what the failure lines report.
    UniqueKey userRoot;
    LSTATUS result = RegOpenCurrentUser(MAXIMUM_ALLOWED, userRoot.put());
    if (result != ERROR_SUCCESS) {
        OlvLog_Print(OlvLogError, L"RuxUIClient::SetupStatisticNotifyer: RegOpenCurrentUser failed le = %d", result);
        return;
    }

    HKEY key = nullptr;
    result = userRoot.valid() ? RegOpenKeyExW(userRoot.get(), StatisticsKeyPath, 0, MAXIMUM_ALLOWED, &key)
                              : ERROR_INVALID_HANDLE;
    if (result != ERROR_SUCCESS)
        key = nullptr;
    statsKey = SharedKey(key);
    userRoot.reset();

    if (statsKey.valid()) {
        UpdateStatisticNotifyer();
        OlvLog_Print(OlvLogImportant, L"RuxUIClient::SetupStatisticNotifyer: notifyer set success");
    } else {
        OlvLog_Print(OlvLogError, L"RuxUIClient::SetupStatisticNotifyer: failed to open Settings reg value %d", result);
    }
}

void RuxUIClient::FollowSessionWithNotifyer()
{
    // Without the lock, as in SetupStatisticNotifyer.
    if (watchedSession != OLV_TS_UNCHECKED_READ(sessionId).load())
        SetupStatisticNotifyer();
}

void RuxUIClient::UpdateStatisticNotifyer()
{
    // Without the lock, as in SetupStatisticNotifyer.
    if (OLV_TS_UNCHECKED_READ(sessionId).load() == NoSession)
        return;
    if (!statsKey.valid() || !statsEvent.valid()) {
        OlvLog_Print(OlvLogError, L"RuxUIClient::UpdateStatisticNotifyer: failed to UpdateStatisticNotifyer");
        return;
    }
    // Whole sub-tree; sub-keys added or deleted, values changed.
    LSTATUS result = RegNotifyChangeKeyValue(statsKey.get(), TRUE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                                             statsEvent.get(), TRUE);
    if (result != ERROR_SUCCESS)
        OlvLog_Print(OlvLogError, L"RuxUIClient::UpdateStatisticNotifyer: failed to create notifier %d", result);
}
