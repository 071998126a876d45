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
    if (backoff_.Holds(target, now, number))
        return BackingOff;
    auto sender = senders_.find(process);
    if (sender != senders_.end() && sender->second.pending >= MaxPerSender) {
        number = sender->second.pending;
        return SenderFull;
    }
    if (queue_.size() >= MaxQueued) {
        number = queue_.size();
        return PoolFull;
    }
    if (bytes_ + bytes > BudgetBytes) {
        number = bytes_;
        return OverBudget;
    }
    return nullptr;
}

bool ReplyPool::Admits(const RuxCallSender& sender, const std::string& sink)
{
    const wchar_t* refusal;
    ULONGLONG number = 0;
    {
        MutexHolder hold(mutex_);
        refusal = RefusalLocked(sender.process, ReplyBackoff::TargetKey(sink), 0, GetTickCount64(), number);
    }
    if (refusal == SenderFull)
        OlvLog_Print(OlvLogError, refusal, sink.c_str(), sender.process, static_cast<unsigned>(number));
    else if (refusal)
        OlvLog_Print(OlvLogError, refusal, sink.c_str(), static_cast<unsigned>(number));
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
            DWORD process = queued.job.sender.process;
            size_t bytes = queued.job.bytes;
            // Either may throw, and then nothing is counted.
            SenderCount& count = senders_[process];
            try {
                queue_.push_back(std::move(queued));
            } catch (...) {
                if (count.pending == 0)
                    senders_.erase(process);
                throw;
            }
            ++count.pending;
            bytes_ += bytes;
            SetEvent(wake_.get());
            return true;
        }
    }
    if (refusal == SenderFull)
        OlvLog_Print(OlvLogError, refusal, queued.job.sink.c_str(), queued.job.sender.process,
                     static_cast<unsigned>(number));
    else
        OlvLog_Print(OlvLogError, refusal, queued.job.sink.c_str(), static_cast<unsigned>(number));
    return false;
}

void ReplyPool::Stop()
{
    std::deque<Queued> dropped;
    {
        MutexHolder hold(mutex_);
        stopping_ = true;
        dropped.swap(queue_);
        for (const Queued& queued : dropped) {
            auto sender = senders_.find(queued.job.sender.process);
            if (sender != senders_.end() && --sender->second.pending == 0)
                senders_.erase(sender);
            bytes_ -= queued.job.bytes;
        }
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
            ULONGLONG now = GetTickCount64();
            for (auto it = queue_.begin(); it != queue_.end(); ++it) {
                dropped = backoff_.Holds(it->target, now, agoMs);
                auto sender = senders_.find(it->job.sender.process);  // counted by Hand
                if (!dropped && (targetsInFlight_.count(it->target) ||
                                 (sender != senders_.end() && sender->second.inFlight >= MaxInFlightPerSender)))
                    continue;
                // The target first: the insertion may throw, and nothing has
                // changed then. Nothing below it can fail.
                if (!dropped) {
                    targetsInFlight_.insert(it->target);
                    if (sender != senders_.end())
                        ++sender->second.inFlight;
                }
                taken = std::move(*it);
                queue_.erase(it);
                return true;
            }
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
    auto sender = senders_.find(done.job.sender.process);
    if (sender != senders_.end()) {
        if (wasInFlight)
            --sender->second.inFlight;
        if (--sender->second.pending == 0)
            senders_.erase(sender);
    }
    if (wasInFlight)
        targetsInFlight_.erase(done.target);
    bytes_ -= done.job.bytes;
    if (failed) {
        try {
            backoff_.Failed(done.target, GetTickCount64());
        } catch (const std::bad_alloc&) {
            // Not remembered: the next reply to it costs one more deadline.
        }
    }
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
