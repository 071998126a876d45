#include "rux/ReadLease.h"

#include "rux/Frame.h"
#include "rux/ItemCodec.h"
#include "rux/SinkService.h"

namespace rux {
namespace {

// The worker looks at a lent connection this often: a finished read that the
// application has not collected by the next look, or a lease on which no read
// was issued since the last look, is taken back.
constexpr DWORD CheckMs = 10;
// A lease with no message for this many looks goes back to the worker, so an
// idle connection costs no periodic wake.
constexpr int IdleChecks = 20;
// The popping thread's reads: large enough for the messages of the plug-in
// and the user interface; a longer one is finished by the worker.
constexpr size_t LeaseBufferBytes = 64 * 1024;

}  // namespace

ReadLease::ReadLease(HANDLE pipe) : pipe_(pipe)
{
    returnEvent_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

ReadLease::~ReadLease()
{
    if (returnEvent_)
        CloseHandle(returnEvent_);
}

bool ReadLease::Lend(const std::shared_ptr<SinkService>& service)
{
    std::lock_guard<std::mutex> hold(mutex_);
    if (!returnEvent_ || state_ != State::Worker)
        return false;
    if (buffer_.size() < LeaseBufferBytes)
        buffer_.resize(LeaseBufferBytes);
    if (!service->AddLease(shared_from_this()))
        return false;
    state_ = State::Lent;
    service_ = service;
    back_ = Back::Idle;
    backSize_ = 0;
    backMore_ = false;
    return true;
}

void ReadLease::WaitBack(HANDLE stopEvent, std::vector<unsigned char>& buffer, size_t& size, bool& more, Back& back)
{
    uint64_t deliveredBefore = 0;
    bool finishedBefore = false;
    bool issuedBefore = false;
    int idle = 0;
    bool stopping = false;
    for (;;) {
        // Once the sink stops, only the end of a take-back under way is awaited.
        HANDLE waits[2] = {returnEvent_, stopEvent};
        DWORD wait = WaitForMultipleObjects(stopping ? 1 : 2, waits, FALSE, stopping ? INFINITE : CheckMs);
        std::unique_lock<std::mutex> hold(mutex_);
        if (state_ == State::Worker)
            break;
        if (wait == WAIT_OBJECT_0 + 1 || wait == WAIT_FAILED)
            stopping = true;
        if (stopping) {
            ReclaimLocked(hold);
            continue;  // Worker now, or another thread's take-back ends soon
        }
        if (wait != WAIT_TIMEOUT)
            continue;  // a signal left from an earlier lease
        bool active = delivered_ != deliveredBefore;
        deliveredBefore = delivered_;
        idle = active ? 0 : idle + 1;
        bool issued = state_ == State::Issued;
        bool finished = issued && HasOverlappedIoCompleted(&overlapped_);
        // Not popped since the last look: a read finished and left there, or
        // no read issued at all. Or nothing came for a long while.
        if ((finished && finishedBefore) || (!issued && !issuedBefore && !active) || idle >= IdleChecks) {
            ReclaimLocked(hold);
            continue;
        }
        finishedBefore = finished;
        issuedBefore = issued;
    }
    std::lock_guard<std::mutex> hold(mutex_);
    back = stopping && back_ != Back::Broken ? Back::Stopped : back_;
    size = backSize_;
    more = backMore_;
    if (back == Back::Frame)
        buffer.swap(buffer_);
}

void ReadLease::ReturnLocked(Back back, size_t size, bool more)
{
    back_ = back;
    backSize_ = size;
    backMore_ = more;
    state_ = State::Worker;
    if (service_)
        service_->RemoveLease(this);
    service_.reset();
    SetEvent(returnEvent_);
    returned_.notify_all();
}

void ReadLease::ReclaimLocked(std::unique_lock<std::mutex>& hold)
{
    if (state_ == State::Worker || state_ == State::Reclaiming)
        return;
    if (state_ == State::Lent) {
        ReturnLocked(Back::Idle, 0, false);
        return;
    }
    // Issued: cancel and wait without the lock, so that a popping thread that
    // waits for it meanwhile can still let the cancellation complete.
    state_ = State::Reclaiming;
    hold.unlock();
    if (!HasOverlappedIoCompleted(&overlapped_))
        CancelIoEx(pipe_, &overlapped_);
    // Never a wait on the read's event: the application waits on it too and
    // may take the completion's signal. The cancelled read ends promptly.
    while (!HasOverlappedIoCompleted(&overlapped_))
        Sleep(1);
    DWORD bytes = 0;
    BOOL ok = GetOverlappedResult(pipe_, &overlapped_, &bytes, FALSE);
    DWORD error = ok ? 0 : GetLastError();
    hold.lock();
    if (ok || error == ERROR_MORE_DATA)
        ReturnLocked(Back::Frame, bytes, !ok);
    else
        ReturnLocked(error == ERROR_OPERATION_ABORTED ? Back::Idle : Back::Broken, 0, false);
}

void ReadLease::Reclaim()
{
    std::unique_lock<std::mutex> hold(mutex_);
    ReclaimLocked(hold);
    // Another thread's take-back may be under way: the caller (a stopping
    // service) closes the read's event next, so it waits for the end.
    returned_.wait(hold, [this] { return state_ != State::Reclaiming; });
}

bool ReadLease::DeliverLocked(SinkService& service, size_t size)
{
    FrameView frame;
    if (!Frame::Parse(buffer_.data(), size, frame) || frame.service != service.Id() ||
        frame.kind < FrameKind::Call || frame.kind > FrameKind::Reply)
        return false;
    ItemPtr item;
    if (!ItemCodec::Decode(frame.body, frame.bodySize, item))
        return false;
    return service.EnqueueQuiet(SinkService::PopResult(frame.kind), item);
}

bool ReadLease::Pump(SinkService& service, int& budget)
{
    int before = budget;
    std::lock_guard<std::mutex> hold(mutex_);
    while (budget > 0 && service_.get() == &service) {
        if (state_ == State::Lent) {
            HANDLE event = service.ReadEvent();
            if (!event) {
                ReturnLocked(Back::Idle, 0, false);
                return false;
            }
            overlapped_ = {};
            overlapped_.hEvent = event;
            BOOL ok = ReadFile(pipe_, buffer_.data(), static_cast<DWORD>(buffer_.size()), nullptr, &overlapped_);
            DWORD error = ok ? 0 : GetLastError();
            if (!ok && error != ERROR_IO_PENDING && error != ERROR_MORE_DATA) {
                ReturnLocked(Back::Broken, 0, false);
                return false;
            }
            state_ = State::Issued;
        }
        if (state_ != State::Issued || !HasOverlappedIoCompleted(&overlapped_))
            return budget != before;
        DWORD bytes = 0;
        BOOL ok = GetOverlappedResult(pipe_, &overlapped_, &bytes, FALSE);
        DWORD error = ok ? 0 : GetLastError();
        state_ = State::Lent;
        --budget;
        if (!ok && error != ERROR_MORE_DATA) {
            // Cancelled because the thread that issued the read ended: the
            // message is still in the pipe, for the worker.
            ReturnLocked(error == ERROR_OPERATION_ABORTED ? Back::Idle : Back::Broken, 0, false);
            return true;
        }
        if (!ok || !DeliverLocked(service, bytes)) {
            ReturnLocked(Back::Frame, bytes, !ok);
            return true;
        }
        ++delivered_;
    }
    return budget != before;
}

}  // namespace rux
