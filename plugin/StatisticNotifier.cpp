// The watch on the session user's statistics key: every change of a value in
// "Stats" or below, and every sub-key created or deleted there, signals the
// statistics event, on which the worker pushes fresh counters. A change
// notification fires once per arming, so the worker re-arms it each time.
//
// The key is opened as the session's user, and never as anyone else: when the
// user's token cannot be impersonated the watch stays closed (RegOpenCurrentUser
// would otherwise open the host's own hive, SYSTEM's under a service) and the
// periodic check tries again. The open key keeps that user's hive loaded, so
// the watch is closed as soon as the worker learns that the user has gone
// (the host's SetSession at a logoff, the periodic check): the profile can
// then unload.
//
// The log lines keep the spelling "Notifyer" they have always had: stored logs
// and the scripts that read them match that text.
#include "plugin/ClientPlatform.h"
#include "plugin/RuxUIClient.h"

#include "log/OlvLog.h"
#include "runtime/Impersonator.h"

#include <sddl.h>

namespace {

// The first part ends with its separator; the key name is appended as is.
constexpr const wchar_t* StatisticsKeyPath = L"Software\\Halvern\\OLV\\" L"Stats";

// Whole sub-tree; sub-keys added or deleted, values changed.
constexpr DWORD StatisticsWatchFilter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;

// The SID of the token's user in string form; empty when it cannot be read.
// Throws std::bad_alloc.
std::wstring TokenUserSid(HANDLE token)
{
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    wchar_t* text = nullptr;
    if (!GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) ||
        !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text))
        return {};
    struct Freed {
        wchar_t* text;
        ~Freed() { LocalFree(text); }
    } freed{text};
    return text;
}

}  // namespace

void RuxUIClient::SetupStatisticNotifier()
{
    // The worker's watch reads the id without the lock: a change after this
    // read signals the advise event, and FollowSessionWithNotifier catches up.
    uint32_t session = OLV_TS_UNCHECKED_READ(sessionId).load();
    OlvLog_Print(OlvLogImportant, L"RuxUIClient::SetupStatisticNotifyer: set to session id = %d", session);
    // The previous watch ends before anything below can return early: a key
    // left open would be the previous session's user's, and the time-out
    // retries only a closed one. Closing it ends its pending notification.
    statsKey.reset();
    watchedUser.clear();
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
    std::wstring user = TokenUserSid(token.get());

    // The key is opened as the session's user, so that it is that user's hive;
    // the impersonation ends with this scope, before the token closes.
    Impersonator impersonator(token.get());
    if (!impersonator.IsImpersonating()) {
        OlvLog_Print(OlvLogError,
                     L"RuxUIClient::SetupStatisticNotifyer: failed to impersonate the user of session id = %d", session);
        return;
    }

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
        watchedUser = std::move(user);
        UpdateStatisticNotifier();
        OlvLog_Print(OlvLogImportant, L"RuxUIClient::SetupStatisticNotifyer: notifyer set success");
    } else {
        OlvLog_Print(OlvLogError, L"RuxUIClient::SetupStatisticNotifyer: failed to open Settings reg value %d", result);
    }
}

bool RuxUIClient::WatchedUserGone(uint32_t session) const
{
    UniqueToken token(Platform().sessionUserToken(session));
    return !token.valid() || TokenUserSid(token.get()) != watchedUser;
}

void RuxUIClient::FollowSessionWithNotifier()
{
    // Without the lock, as in SetupStatisticNotifier.
    uint32_t session = OLV_TS_UNCHECKED_READ(sessionId).load();
    if (watchedSession != session || !statsKey.valid() || WatchedUserGone(session))
        SetupStatisticNotifier();
}

void RuxUIClient::UpdateStatisticNotifier()
{
    // Without the lock, as in SetupStatisticNotifier.
    if (OLV_TS_UNCHECKED_READ(sessionId).load() == NoSession)
        return;
    if (!statsKey.valid() || !statsEvent.valid()) {
        OlvLog_Print(OlvLogError, L"RuxUIClient::UpdateStatisticNotifyer: failed to UpdateStatisticNotifyer");
        return;
    }
    // The first arming runs on the host's thread (the constructor): on Windows
    // a watch ends with the thread that armed it, and signals its event once,
    // unless it is thread-agnostic (Windows 8 and later; earlier systems refuse
    // the flag, and the worker's re-arming then carries the watch on).
    LSTATUS result =
        Platform().watchKeyChanges(statsKey.get(), StatisticsWatchFilter | REG_NOTIFY_THREAD_AGNOSTIC, statsEvent.get());
    if (result == ERROR_INVALID_PARAMETER)
        result = Platform().watchKeyChanges(statsKey.get(), StatisticsWatchFilter, statsEvent.get());
    if (result != ERROR_SUCCESS)
        OlvLog_Print(OlvLogError, L"RuxUIClient::UpdateStatisticNotifyer: failed to create notifier %d", result);
}
