#include "plugin/ExchangeGate.h"

#include <new>

ExchangeGate::ExchangeGate()
    : cancel_(CreateEventW(nullptr, TRUE, FALSE, nullptr)), idle_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    if (!cancel_.valid() || !idle_.valid())
        throw std::bad_alloc();
}

bool ExchangeGate::Enter()
{
    MutexHolder hold(mutex_);
    if (closed_)
        return false;
    ++inFlight_;
    return true;
}

void ExchangeGate::Leave()
{
    bool idle;
    {
        MutexHolder hold(mutex_);
        idle = --inFlight_ == 0 && closed_;
    }
    if (idle)
        SetEvent(idle_.get());
}

bool ExchangeGate::Closed()
{
    MutexHolder hold(mutex_);
    return closed_;
}

bool ExchangeGate::Close(DWORD timeoutMs)
{
    bool idle;
    {
        MutexHolder hold(mutex_);
        closed_ = true;
        idle = inFlight_ == 0;
    }
    SetEvent(cancel_.get());
    if (idle)
        return true;
    return WaitForSingleObject(idle_.get(), timeoutMs) == WAIT_OBJECT_0;
}
