#include "tools/ruxfuzz/FuzzCampaign.h"

#include "tools/ruxfuzz/ConsoleProbe.h"
#include "tools/ruxfuzz/HolderProcess.h"
#include "tools/ruxfuzz/RawConnection.h"
#include "tools/ruxfuzz/WireItem.h"

#include "rux/wire/Frame.h"

#include <cstdarg>
#include <exception>
#include <thread>
#include <utility>

namespace {

constexpr uint64_t ProgressEveryBatches = 20;
constexpr DWORD ExitGraceMs = 2000;
// How long a hostile connection waits for a free pipe instance; a genuine
// client waits 5 s.
constexpr DWORD BusyWaitMs = 2000;
constexpr const char* HelloSource = "ruxfuzz";
// A batch stops sending after this long, or once a connection cannot be
// opened again: a host that hangs is found by the question after the batch,
// not by waiting out every frame.
constexpr ULONGLONG BatchTimeLimitMs = 60000;
// The host's deadline for one reply (2 s), and a margin.
constexpr DWORD StallSettleMs = 3000;

std::string Hello(bool peer)
{
    return WireItem::Frame(static_cast<uint8_t>(rux::FrameKind::Hello), 0,
                           std::string(1, peer ? '\1' : '\0') + HelloSource);
}

// A plain connection's greeting as Rux.dll makes it: an Open with the
// connection's number, waiting for nothing, opening "SB".
std::string OpenGreeting(uint64_t number)
{
    std::string body = WireItem::U32(static_cast<uint32_t>(number)) + WireItem::U32(static_cast<uint32_t>(number >> 32));
    body += '\0';
    body += "SB";
    return WireItem::Frame(static_cast<uint8_t>(rux::FrameKind::Open), 0, body);
}

std::string Hex(DWORD value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%lx", value);
    return text;
}

std::string Mebibytes(unsigned long long bytes)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

}  // namespace

FuzzCampaign::FuzzCampaign(CampaignOptions options, FILE* out) : options_(std::move(options)), out_(out) {}

void FuzzCampaign::Print(const char* format, ...)
{
    std::fputs("ruxfuzz: ", out_);
    va_list args;
    va_start(args, format);
    std::vfprintf(out_, format, args);
    va_end(args);
    std::fputc('\n', out_);
    std::fflush(out_);
}

bool FuzzCampaign::StartHost(std::string& error)
{
    host_.reset();
    auto host = std::make_unique<HostProcess>();
    std::string line;
    if (!host->Start(options_.hostPath, options_.dllPath, error))
        return false;
    ++hostsStarted_;
    for (const char* step : {"new", "start"}) {
        if (!host->Step(step, StepTimeoutMs, line)) {
            error = line;
            return false;
        }
    }
    host_ = std::move(host);
    // The plug-in's worker starts its sink on the pool: the first question
    // waits for it to be there.
    std::string why;
    ULONGLONG deadline = GetTickCount64() + options_.probeTimeoutMs;
    while (!probe_.Ask(HostSink, options_.probeTimeoutMs, why)) {
        if (GetTickCount64() >= deadline || !host_->Alive()) {
            error = "the new host does not answer RequestSBSetting: " + why;
            return false;
        }
        host_->WaitForExit(100);  // a host that ends is noticed at once
    }
    if (!host_->SampleResources(baseline_, StepTimeoutMs, error))
        return false;
    Print("host %llu started: handles=%lu private-bytes=%llu threads=%lu", static_cast<unsigned long long>(hostsStarted_),
          baseline_.handles, baseline_.privateBytes, baseline_.threads);
    return true;
}

void FuzzCampaign::SendFrames(const HostileBatch& batch)
{
    size_t count = batch.connections ? batch.connections : 1;
    std::vector<RawConnection> connections(count);
    std::vector<uint32_t> serviceIds(count, 1);
    std::vector<bool> opened(count, false);
    auto open = [&](size_t i) {
        DWORD error = ERROR_SUCCESS;
        if (!connections[i].Open(HostSink, BusyWaitMs, error)) {
            if (error == ERROR_PIPE_BUSY)
                ++counters_.busy;
            return false;
        }
        ++counters_.connections;
        if (opened[i])
            ++counters_.reconnects;
        opened[i] = true;
        if (batch.handshake &&
            !(batch.greetWithOpen
                  ? connections[i].HandshakeOpen(++lastNumber_, "SB", serviceIds[i], IoTimeoutMs)
                  : connections[i].Handshake(batch.peer, HelloSource, "SB", serviceIds[i], IoTimeoutMs))) {
            ++counters_.unanswered;
            connections[i].Drop();
            return false;
        }
        return true;
    };
    ULONGLONG deadline = GetTickCount64() + BatchTimeLimitMs;
    for (size_t i = 0; i < count; ++i)
        open(i);
    for (size_t k = 0; k < batch.frames.size() && GetTickCount64() < deadline; ++k) {
        const HostileFrame& frame = batch.frames[k];
        size_t i = k % count;
        if (!connections[i].IsOpen() && !open(i))
            break;
        std::string bytes = frame.bytes;
        if (frame.patchService)
            bytes.replace(WireItem::ServiceOffset, 4, WireItem::U32(serviceIds[i]));
        if (!connections[i].Send(bytes, IoTimeoutMs))
            continue;
        ++counters_.frames;
        int32_t status = 0;
        uint32_t value = 0;
        if (frame.answered && !connections[i].ReceiveAck(status, value, IoTimeoutMs))
            ++counters_.unanswered;
    }
    for (RawConnection& connection : connections) {
        int32_t status = 0;
        uint32_t value = 0;
        if (batch.byeAtEnd && connection.IsOpen() &&
            connection.Send(WireItem::Frame(static_cast<uint8_t>(rux::FrameKind::Bye), 0, ""), IoTimeoutMs) &&
            !connection.ReceiveAck(status, value, IoTimeoutMs))
            ++counters_.unanswered;
        connection.Drop();
    }
}

void FuzzCampaign::Churn(const HostileBatch& batch)
{
    ULONGLONG deadline = GetTickCount64() + BatchTimeLimitMs;
    auto churn = [this, &batch, deadline](uint32_t t) {
        // A thread's entry lets nothing escape: an allocation that fails ends
        // this thread's share of the churn.
        try {
            for (uint32_t m = 0; m < batch.churnPerThread && GetTickCount64() < deadline; ++m) {
                // Every other connection greets as Rux.dll's plain ones do.
                std::string hello = m % 2 ? Hello(false) : OpenGreeting(++lastNumber_);
                RawConnection connection;
                DWORD error = ERROR_SUCCESS;
                if (!connection.Open(HostSink, BusyWaitMs, error)) {
                    if (error != ERROR_PIPE_BUSY)
                        return;
                    ++counters_.busy;
                    continue;
                }
                ++counters_.connections;
                // Dropped without a byte, right after the greeting, or after its Ack.
                switch ((m + t) % 3) {
                case 0:
                    break;
                case 1:
                    if (connection.Send(hello, IoTimeoutMs))
                        ++counters_.frames;
                    break;
                default: {
                    int32_t status = 0;
                    uint32_t value = 0;
                    if (connection.Send(hello, IoTimeoutMs)) {
                        ++counters_.frames;
                        if (!connection.ReceiveAck(status, value, IoTimeoutMs))
                            ++counters_.unanswered;
                    }
                    break;
                }
                }
            }
        } catch (const std::exception&) {
        }
    };
    std::vector<std::thread> threads;
    try {
        for (uint32_t t = 0; t < batch.churnThreads; ++t)
            threads.emplace_back(churn, t);
    } catch (const std::exception&) {
        // Fewer threads than asked churn; those started are joined below.
    }
    for (std::thread& thread : threads)
        thread.join();
}

void FuzzCampaign::HoldIdle(const HostileBatch& batch, std::string& failure)
{
    std::vector<RawConnection> idle(batch.idleConnections);
    uint32_t held = 0;
    for (RawConnection& connection : idle) {
        DWORD error = ERROR_SUCCESS;
        if (connection.Open(HostSink, BusyWaitMs, error)) {
            ++held;
            ++counters_.connections;
        } else if (error == ERROR_PIPE_BUSY) {
            ++counters_.busy;
        }
    }
    // Asked from a process of its own: the idle connections are this
    // process's, and a sink may rightly refuse it more of them.
    failure = AskFromConsole("while " + std::to_string(held) + " idle connections were held", options_.probeTimeoutMs);
}

std::string FuzzCampaign::AskFromConsole(const std::string& during, DWORD withinMs)
{
    std::string why;
    ULONGLONG start = GetTickCount64();
    bool answered = ConsoleProbe::Ask(options_.consolePath, withinMs, why);
    lastAnswerMs_ = GetTickCount64() - start;
    return answered ? std::string() : DescribeFailure(during, why);
}

void FuzzCampaign::HoldInProcesses(const HostileBatch& batch, std::string& failure)
{
    std::vector<std::unique_ptr<HolderProcess>> holders;
    std::string held;
    for (uint32_t i = 0; i < batch.holderProcesses && failure.empty(); ++i) {
        auto holder = std::make_unique<HolderProcess>();
        uint32_t answered = 0;
        DWORD integrity = 0;
        std::string error;
        if (!holder->Start(options_.selfPath, HostSink, batch.holderConnections, batch.greetWithOpen,
                           batch.lowIntegrity, error) ||
            !holder->WaitHeld(StepTimeoutMs, answered, integrity, error)) {
            failure = "a holder of connections failed: " + error;
            break;
        }
        counters_.frames += batch.holderConnections;
        counters_.connections += batch.holderConnections;
        counters_.held += answered;
        if (!held.empty())
            held += ',';
        held += std::to_string(answered);
        if (batch.lowIntegrity) {
            // Where the platform lowers the child's integrity (Windows), the
            // sink must serve none of its connections. Wine leaves a child at
            // its parent's level whatever its token says: the refusal is then
            // not seen here (the rux tests show it through the identity seam).
            if (integrity >= SECURITY_MANDATORY_MEDIUM_RID)
                ++counters_.notLowered;
            else if (answered != 0)
                failure = "a process at integrity level " + Hex(integrity) + " had " + std::to_string(answered) +
                          " of its connections served";
        }
        holders.push_back(std::move(holder));
    }
    if (options_.verbose && !held.empty())
        Print("batch %llu: the holders' greetings answered: %s", static_cast<unsigned long long>(batch.index),
              held.c_str());
    if (failure.empty() && !batch.lowIntegrity) {
        // A process that holds no connection must get in, whatever the
        // others hold.
        std::string why;
        ULONGLONG start = GetTickCount64();
        bool answered = ConsoleProbe::Ask(options_.consolePath, options_.probeTimeoutMs, why);
        lastAnswerMs_ = GetTickCount64() - start;
        if (!answered)
            failure = DescribeFailure("while " + std::to_string(batch.holderProcesses) + " processes held " + held +
                                          " greeted connections (the newcomer was kept out)",
                                      why);
    }
    for (auto& holder : holders)
        holder->Release(IoTimeoutMs);
}

void FuzzCampaign::RunBatch(const HostileBatch& batch, std::string& failure)
{
    failure.clear();
    if (batch.churnThreads)
        Churn(batch);
    else if (batch.idleConnections)
        HoldIdle(batch, failure);
    else if (batch.holderProcesses)
        HoldInProcesses(batch, failure);
    else
        SendFrames(batch);
    // After queries whose reply sinks stall: a process of its own asks, as the
    // user interface does (the host bounds what one asking process has in
    // flight, and the fuzzer's stalled queries are its own).
    if (failure.empty() && batch.consoleWithinMs) {
        failure = AskFromConsole("within " + std::to_string(batch.consoleWithinMs) + " ms of the stalled queries",
                                 batch.consoleWithinMs);
        // The fuzzer's own question comes from the process whose replies
        // stalled: the host holds them against that process's share of its
        // reply queue until their deadline has passed, and rightly refuses
        // more meanwhile. It is asked once they are through (a time in the
        // host, which nothing signals: an earlier question would be one more
        // held against the share), and again once if that was not yet so.
        if (failure.empty()) {
            Sleep(StallSettleMs);
            failure = CheckHost("after the batch");
        }
    }
    if (failure.empty())
        failure = CheckHost("after the batch");
}

std::string FuzzCampaign::CheckHost(const std::string& during)
{
    std::string why;
    ULONGLONG start = GetTickCount64();
    bool answered = probe_.Ask(HostSink, options_.probeTimeoutMs, why);
    lastAnswerMs_ = GetTickCount64() - start;
    return answered ? std::string() : DescribeFailure(during, why);
}

std::string FuzzCampaign::DescribeFailure(const std::string& during, const std::string& why)
{
    // A host that is going down may still be running for a moment (a report
    // being written): it gets that moment before it counts as alive.
    if (host_->WaitForExit(ExitGraceMs)) {
        char text[96];
        std::snprintf(text, sizeof(text), "the host died (exit code 0x%lX)", host_->ExitCode());
        return text + (" " + during) + " (the question: " + why + ")";
    }
    return "the host is running but did not answer RequestSBSetting " + during + ": " + why;
}

void FuzzCampaign::ReportFailure(const HostileBatch& batch, const std::string& failure)
{
    ++failures_;
    // From the batch before when it ran on the same host, since its effect may
    // have lasted into this one.
    uint64_t replayFrom = previousDescription_.empty() ? batch.index : batch.index - 1;
    Print("HOST FAILURE in batch %llu (%s; the batch before: %s): %s; %llu hostile frames sent so far; "
          "replay: --seed %llu --first-batch %llu",
          static_cast<unsigned long long>(batch.index), batch.description.c_str(),
          previousDescription_.empty() ? "none" : previousDescription_.c_str(), failure.c_str(),
          static_cast<unsigned long long>(counters_.frames.load()), static_cast<unsigned long long>(options_.seed),
          static_cast<unsigned long long>(replayFrom));
}

bool FuzzCampaign::FinishHost(std::string& failure)
{
    HostProcess::Resources before;
    HostProcess::Resources after;
    std::string line;
    if (!host_->SampleResources(before, StepTimeoutMs, failure))
        return false;
    ULONGLONG start = GetTickCount64();
    if (!host_->Step("destroy", StepTimeoutMs, line)) {
        failure = "Destroy did not complete: " + line;
        return false;
    }
    ULONGLONG took = GetTickCount64() - start;
    if (!host_->SampleResources(after, StepTimeoutMs, failure))
        return false;
    Print("host figures: handles %lu -> %lu after the batches -> %lu after Destroy; private bytes %s -> %s -> %s; "
          "threads %lu -> %lu -> %lu; Destroy took %llu ms",
          baseline_.handles, before.handles, after.handles, Mebibytes(baseline_.privateBytes).c_str(),
          Mebibytes(before.privateBytes).c_str(), Mebibytes(after.privateBytes).c_str(), baseline_.threads,
          before.threads, after.threads, static_cast<unsigned long long>(took));
    if (!host_->Finish(HostProcess::FinishWaitMs) || host_->ExitCode() != 0) {
        char text[96];
        std::snprintf(text, sizeof(text), "the host did not end cleanly (exit code 0x%lX)", host_->ExitCode());
        failure = text;
        return false;
    }
    if (after.handles > baseline_.handles + options_.maxHandleGrowth) {
        failure = "the host holds " + std::to_string(after.handles - baseline_.handles) +
                  " handles more than after its start (allowed " + std::to_string(options_.maxHandleGrowth) + ")";
        return false;
    }
    if (after.privateBytes > baseline_.privateBytes + options_.maxPrivateGrowth) {
        failure = "the host's private bytes grew by " + Mebibytes(after.privateBytes - baseline_.privateBytes) +
                  " (allowed " + Mebibytes(options_.maxPrivateGrowth) + ")";
        return false;
    }
    return true;
}

int FuzzCampaign::Run()
{
    std::string error;
    if (!probe_.Start(error) || !stalling_.Start(error) || !StartHost(error)) {
        Print("cannot set up: %s", error.c_str());
        return 3;
    }
    BatchLimits limits;
    limits.wideMembers = options_.wideMembers;
    limits.replySink = probe_.SinkName();
    limits.dripSink = stalling_.DripName();
    limits.silentSink = stalling_.SilentName();
    uint64_t index = options_.firstBatch;
    bool stopped = false;
    HostileBatch batch;
    // Classes that send few frames (idle, connections) end the run by its
    // batch count instead.
    uint64_t maxBatches = options_.frames / 10 ? options_.frames / 10 : 1;
    while (!stopped && counters_.frames.load() < options_.frames && batches_ < maxBatches) {
        batch = HostileBatch::Make(options_.seed, index++, options_.classes, limits);
        std::string failure;
        RunBatch(batch, failure);
        ++batches_;
        if (options_.verbose)
            Print("batch %llu: %s; %s after %llu ms", static_cast<unsigned long long>(batch.index),
                  batch.description.c_str(), failure.empty() ? "answered" : "no answer",
                  static_cast<unsigned long long>(lastAnswerMs_));
        if (failure.empty() && lastAnswerMs_ > slowestAnswerMs_) {
            slowestAnswerMs_ = lastAnswerMs_;
            slowestBatch_ = batch.index;
        }
        if (!failure.empty()) {
            ReportFailure(batch, failure);
            previousDescription_.clear();
            if (!options_.keepGoing) {
                stopped = true;
            } else if (!StartHost(error)) {
                Print("cannot start a new host: %s", error.c_str());
                stopped = true;
            }
        } else {
            previousDescription_ = batch.description;
        }
        if (batches_ % ProgressEveryBatches == 0)
            Print("progress: %llu batches, %llu hostile frames, %llu connections, %llu reconnects, %llu refused busy, "
                  "%llu requests unanswered, %llu host failures",
                  static_cast<unsigned long long>(batches_), static_cast<unsigned long long>(counters_.frames.load()),
                  static_cast<unsigned long long>(counters_.connections.load()),
                  static_cast<unsigned long long>(counters_.reconnects.load()),
                  static_cast<unsigned long long>(counters_.busy.load()),
                  static_cast<unsigned long long>(counters_.unanswered.load()),
                  static_cast<unsigned long long>(failures_));
    }
    if (host_ && host_->Alive() && !stopped) {
        std::string failure;
        if (!FinishHost(failure)) {
            ++failures_;
            Print("HOST FAILURE at the end: %s", failure.c_str());
        }
    }
    Print("summary: seed %llu, batches %llu to %llu, %llu hostile frames, %llu connections, %llu reconnects, "
          "%llu refused busy, %llu requests unanswered, %llu connections held by holder processes, %llu "
          "low-integrity holders left at their level by the platform, slowest answer %llu ms (batch %llu), "
          "%llu hosts started, %llu host failures: %s",
          static_cast<unsigned long long>(options_.seed), static_cast<unsigned long long>(options_.firstBatch),
          static_cast<unsigned long long>(index ? index - 1 : 0),
          static_cast<unsigned long long>(counters_.frames.load()),
          static_cast<unsigned long long>(counters_.connections.load()),
          static_cast<unsigned long long>(counters_.reconnects.load()),
          static_cast<unsigned long long>(counters_.busy.load()),
          static_cast<unsigned long long>(counters_.unanswered.load()),
          static_cast<unsigned long long>(counters_.held.load()),
          static_cast<unsigned long long>(counters_.notLowered.load()),
          static_cast<unsigned long long>(slowestAnswerMs_), static_cast<unsigned long long>(slowestBatch_),
          static_cast<unsigned long long>(hostsStarted_), static_cast<unsigned long long>(failures_),
          failures_ ? "FAILED" : "PASSED");
    return failures_ ? 1 : 0;
}
