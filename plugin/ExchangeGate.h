// The gate every exchange of the client with another process passes: the
// pushes to its user interface, the settings dialog request, the opening of
// its peer to the user interface and the replies to queries. Each counts
// itself in flight from before it connects until it has closed its
// connection, and watches the gate's cancel event through its exchange
// connection (RuxOpenExchange; a peer's open has its own short time-outs). Destroy closes the gate: no exchange
// starts afterwards, those in flight are cancelled at their next step, and
// Destroy waits for them to leave before it sends the final "Status" 0, so
// that no message of the client reaches the user interface after it.
//
// Threads: any. The mutex is a leaf, held for a count or a flag, never across
// a system call that waits.
#pragma once

#include "base/Mutex.h"
#include "base/UniqueHandle.h"

#include <windows.h>

class ExchangeGate {
public:
    // Throws std::bad_alloc when its events cannot be made.
    ExchangeGate();
    ExchangeGate(const ExchangeGate&) = delete;
    ExchangeGate& operator=(const ExchangeGate&) = delete;

    // Manual-reset, set once the gate is closed: the cancel event of every
    // exchange of the client.
    HANDLE CancelEvent() const noexcept { return cancel_.get(); }

    // True, and in flight until Leave, unless the gate is closed.
    bool Enter() OLV_EXCLUDES(mutex_);
    void Leave() OLV_EXCLUDES(mutex_);
    bool Closed() OLV_EXCLUDES(mutex_);
    // Closes the gate for good, cancels what is in flight and waits up to
    // `timeoutMs` for it to leave. True when nothing is in flight any more.
    bool Close(DWORD timeoutMs) OLV_EXCLUDES(mutex_);

    // One exchange in flight for the length of a scope.
    class Pass {
    public:
        explicit Pass(ExchangeGate& gate) : gate_(gate), entered_(gate.Enter()) {}
        ~Pass()
        {
            if (entered_)
                gate_.Leave();
        }
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;
        // False: the gate is closed, nothing may be sent.
        bool Entered() const noexcept { return entered_; }

    private:
        ExchangeGate& gate_;
        const bool entered_;
    };

private:
    UniqueEvent cancel_;
    UniqueEvent idle_;  // manual-reset: set once closed with nothing in flight
    Mutex mutex_;
    bool closed_ OLV_GUARDED_BY(mutex_) = false;
    long inFlight_ OLV_GUARDED_BY(mutex_) = 0;
};
