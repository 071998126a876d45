// The watch on the session user's statistics key.
//
// TODO(notifier): the user's key is not opened yet (impersonation, then
// RegOpenCurrentUser and the "Stats" sub-key, then RegNotifyChangeKeyValue);
// for now the statistics event exists so that the worker can wait on it, and
// the key stays closed, which the worker retries at each time-out.
#include "plugin/RuxUIClient.h"

#include "log/OlvLog.h"

void RuxUIClient::SetupStatisticNotifyer()
{
    OlvLog_Print(OlvLogImportant, L"RuxUIClient::SetupStatisticNotifyer: set to session id = %d", sessionId.load());
    if (!statsEvent.valid())
        statsEvent = SharedEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr));
}

void RuxUIClient::UpdateStatisticNotifyer()
{
}
