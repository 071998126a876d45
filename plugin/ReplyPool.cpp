#include "plugin/ReplyPool.h"

#include "plugin/AutoServiceConnect.h"

#include "log/OlvLog.h"

#include <exception>
#include <new>
#include <utility>

namespace {

// The refusals, each with the number it reports.
const wchar_t* const BackingOff = L"ReplyPool::Hand: reply to '%S' dropped: its last exchange failed %u ms ago";
const wchar_t* const SenderFull = L"ReplyPool::Hand: reply to '%S' dropped: process %u has %u replies pending";
const wchar_t* const PoolFull = L"ReplyPool::Hand: reply to '%S' dropped: %u replies pending";
const wchar_t* const OverBudget = L"ReplyPool::Hand: reply to '%S' dropped: the replies pending hold %u bytes";
const wchar_t* const Stopped = L"ReplyPool::Hand: reply to '%S' dropped: the worker is stopping";
const wchar_t* const NoThread = L"ReplyPool::Hand: reply to '%S' dropped: no reply thread could be started";

// Whether an exchange that failed with `error` holds its target back: only a
// sink that let the deadline pass (slow, silent, every instance taken) or
// broke the exchange has cost time. A sink that is not there, a server not
// trusted, a service not found or a name not valid cost nothing and are known
// at once; and holding such a target back would let any query that names a
// genuine sink wrongly keep that sink's own answers away.
bool TargetAtFault(DWORD error)
{
    return error == ERROR_TIMEOUT || error == ERROR_BROKEN_PIPE;
}

}  // namespace

ReplyPool::ReplyPool(ExchangeGate& gate) : gate_(gate), wake_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    if (!wake_.valid())
        throw std::bad_alloc();
}

ReplyPool::~ReplyPool()
{
    Stop();
}

const wchar_t* ReplyPool::RefusalLocked(DWORD process, const std::string& target, size_t bytes, ULONGLONG now,
                                        ULONGLONG& number)
{
    if (stopping_)
        return Stopped;
    switch (queue_.Check(process, target, bytes, now, number)) {
    case ReplyQueue::Refusal::None:
        return nullptr;
    case ReplyQueue::Refusal::BackingOff:
        return BackingOff;
    case ReplyQueue::Refusal::SenderFull:
        return SenderFull;
    case ReplyQueue::Refusal::QueueFull:
        return PoolFull;
    case ReplyQueue::Refusal::OverBudget:
        return OverBudget;
    }
    return nullptr;
}

void ReplyPool::LogRefusal(const wchar_t* refusal, const std::string& sink, DWORD process, ULONGLONG number)
{
    if (refusal == SenderFull)
        OlvLog_Print(OlvLogError, refusal, sink.c_str(), process, static_cast<unsigned>(number));
    else
        OlvLog_Print(OlvLogError, refusal, sink.c_str(), static_cast<unsigned>(number));
}

bool ReplyPool::Admits(const RuxCallSender& sender, const std::string& sink)
{
    const wchar_t* refusal;
    ULONGLONG number = 0;
    {
        MutexHolder hold(mutex_);
        refusal = RefusalLocked(sender.process, ReplyBackoff::TargetKey(sink), 0, GetTickCount64(), number);
    }
    if (refusal)
        LogRefusal(refusal, sink, sender.process, number);
    return refusal == nullptr;
}

bool ReplyPool::Hand(ReplyJob job)
{
    // The threads start with the first reply; the owner's thread alone gets here.
    while (threads_.size() < ReplyThreads) {
        try {
            threads_.emplace_back([this] { Serve(); });
        } catch (const std::exception&) {
            break;
        }
    }
    std::string target = ReplyBackoff::TargetKey(job.sink);
    Queued queued{std::move(job), std::move(target)};
    const wchar_t* refusal = threads_.empty() ? NoThread : nullptr;
    ULONGLONG number = 0;
    if (!refusal) {
        MutexHolder hold(mutex_);
        refusal = RefusalLocked(queued.job.sender.process, queued.target, queued.job.bytes, GetTickCount64(), number);
        if (!refusal) {
            queue_.Push(std::move(queued));
            SetEvent(wake_.get());
            return true;
        }
    }
    LogRefusal(refusal, queued.job.sink, queued.job.sender.process, number);
    return false;
}

void ReplyPool::Stop()
{
    std::deque<Queued> dropped;
    {
        MutexHolder hold(mutex_);
        stopping_ = true;
        dropped = queue_.DropQueued();
    }
    SetEvent(wake_.get());
    for (std::thread& thread : threads_)
        thread.join();
    threads_.clear();
    // The dropped replies release their items here, unlocked.
}

bool ReplyPool::Take(Queued& taken, bool& dropped, ULONGLONG& agoMs)
{
    for (;;) {
        {
            MutexHolder hold(mutex_);
            if (stopping_)
                return false;
            if (queue_.Take(GetTickCount64(), taken, dropped, agoMs))
                return true;
            // Nothing that may go now: wait until a reply ends or comes. The
            // event is reset under the lock that its setters hold too, so no
            // signal is lost in between.
            ResetEvent(wake_.get());
        }
        WaitForSingleObject(wake_.get(), INFINITE);
    }
}

void ReplyPool::Finish(const Queued& done, bool wasInFlight, bool failed)
{
    MutexHolder hold(mutex_);
    queue_.Finish(done, wasInFlight, failed, GetTickCount64());
    SetEvent(wake_.get());
}

void ReplyPool::Serve() noexcept
{
    for (;;) {
        Queued taken;
        bool dropped = false;
        ULONGLONG agoMs = 0;
        try {
            if (!Take(taken, dropped, agoMs))
                return;
        } catch (...) {
            return;  // a failed allocation for the counts: this thread ends, the others serve
        }
        if (dropped) {
            OlvLog_Print(OlvLogError, BackingOff, taken.job.sink.c_str(), static_cast<unsigned>(agoMs));
            Finish(taken, false, false);
            continue;
        }
        Outcome outcome = Outcome::Failed;
        try {
            outcome = Send(taken.job);
        } catch (const std::exception& e) {
            OlvLog_Print(OlvLogError, L"ReplyPool::Send: reply to '%S' dropped: %S", taken.job.sink.c_str(), e.what());
            outcome = Outcome::NotTried;
        } catch (...) {
            outcome = Outcome::NotTried;
        }
        Finish(taken, true, outcome == Outcome::Failed);
    }
}

ReplyPool::Outcome ReplyPool::Send(ReplyJob& job)
{
    ExchangeGate::Pass pass(gate_);
    if (!pass.Entered())
        return Outcome::NotTried;
    RuxExchange exchange{ExchangeMs, gate_.CancelEvent(), &job.sender};
    AutoServiceConnect reply(job.sink.c_str(), job.service.c_str(), &exchange);
    if (!reply.connect()) {
        DWORD error = reply.Error();
        if (error == RuxError_ServerNotTrusted)
            OlvLog_Print(OlvLogError,
                         L"RuxUIClient::OnService: RuxResult_Query reply sink '%S' is not served by the user of "
                         L"process %u in its session %u",
                         job.sink.c_str(), job.sender.process, job.sender.session);
        OlvLog_Print(OlvLogError, L"RuxUIClient::OnService: RuxResult_Query cannot connect to '%S':'%S'",
                     job.sink.c_str(), job.service.c_str());
        return TargetAtFault(error) ? Outcome::Failed : Outcome::NotTried;
    }
    UniqueRuxItem proc;
    UniqueRuxItem cookie;
    RuxGetAssoc(job.held.get(), "proc", proc.put());
    RuxGetAssoc(job.held.get(), "cookie", cookie.put());
    if (RuxReply(reply.Service(), 0, proc.get(), cookie.get(), job.result.get()))
        return Outcome::Sent;
    DWORD error = GetLastError();
    if (error == ERROR_CANCELLED)
        return Outcome::NotTried;
    OlvLog_Print(OlvLogError, L"ReplyPool::Send: reply to '%S':'%S' not delivered (error %u)", job.sink.c_str(),
                 job.service.c_str(), error);
    return TargetAtFault(error) ? Outcome::Failed : Outcome::NotTried;
}
