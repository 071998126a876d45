// Objects that want to be told when the process flushes its logs. The flush
// entry OlvLog_FlushThread calls Flush on every registered participant, one at a
// time and in ascending address order, before it sends out the current log.
#pragma once

class FlushParticipant {
public:
    // First entry of the virtual table. Called with the participant set's mutex
    // held (it is recursive, and the walk goes over a copy, so a participant may
    // register or unregister participants from here).
    virtual void Flush() = 0;

protected:
    ~FlushParticipant() = default;
};

// Adds a participant (once; adding it again changes nothing). False when the
// set's mutex cannot be created or the set is already torn down at exit.
bool RegisterFlushParticipant(FlushParticipant* participant) noexcept;
// Removes a participant; after it returns, no flush calls it any more.
void UnregisterFlushParticipant(FlushParticipant* participant) noexcept;
