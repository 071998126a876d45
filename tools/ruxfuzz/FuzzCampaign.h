// A campaign of hostile batches against a live host: ruxhost with the plug-in
// started, its sink "SB" attacked batch by batch, and after each batch the
// genuine question "RequestSBSetting" asked as the user interface asks it. At
// the end the client is destroyed and the host's own handle count and private
// bytes are compared with where they started.
#pragma once

#include "tools/ruxfuzz/HostProcess.h"
#include "tools/ruxfuzz/HostileBatch.h"
#include "tools/ruxfuzz/SettingsProbe.h"
#include "tools/ruxfuzz/StallingSinks.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

struct CampaignOptions {
    uint64_t seed = 1;
    uint64_t frames = 10000;  // stop once this many hostile frames went out (or a tenth as many batches ran)
    uint64_t firstBatch = 0;
    std::vector<BatchClass> classes = HostileBatch::AllClasses();
    std::wstring hostPath;     // ruxhost.exe
    std::wstring dllPath;      // the plug-in, or empty for ruxhost's default
    std::wstring consolePath;  // ruxui-console.exe, the question asked while connections are held
    std::wstring selfPath;     // ruxfuzz.exe, started again as a holder of connections
    DWORD probeTimeoutMs = 10000;
    uint32_t wideMembers = 65535;
    bool keepGoing = false;  // start a new host after a failure and go on
    bool verbose = false;    // one line per batch
    unsigned long maxHandleGrowth = 16;
    unsigned long long maxPrivateGrowth = 16ull << 20;
};

class FuzzCampaign {
public:
    FuzzCampaign(CampaignOptions options, FILE* out);
    FuzzCampaign(const FuzzCampaign&) = delete;
    FuzzCampaign& operator=(const FuzzCampaign&) = delete;

    // Runs the campaign; returns the exit code: 0 the host answered after every
    // batch, Destroy completed and its figures came back; 1 a host failure
    // (each is printed); 3 the host or the probe could not be set up.
    int Run();

    static constexpr const char* HostSink = "SB";
    // Every write, read and handshake of a hostile connection.
    static constexpr DWORD IoTimeoutMs = 5000;
    static constexpr DWORD StepTimeoutMs = 30000;

private:
    struct Counters {
        std::atomic<uint64_t> frames{0};       // hostile frames written
        std::atomic<uint64_t> connections{0};  // hostile connections opened
        std::atomic<uint64_t> reconnects{0};   // connections opened again after the host closed one
        std::atomic<uint64_t> busy{0};         // opens refused with every pipe instance taken
        std::atomic<uint64_t> unanswered{0};   // requests whose Ack did not come
        std::atomic<uint64_t> held{0};         // greeted connections held by holder processes
        std::atomic<uint64_t> notLowered{0};   // low-integrity holders the platform left at their level
    };

    bool StartHost(std::string& error);
    void RunBatch(const HostileBatch& batch, std::string& failure);
    void SendFrames(const HostileBatch& batch);
    void Churn(const HostileBatch& batch);
    void HoldIdle(const HostileBatch& batch, std::string& failure);
    // ruxui-console's question, which must be answered within `withinMs`.
    std::string AskFromConsole(const std::string& during, DWORD withinMs);
    // Holder processes (lockout, low integrity), then the checks of the class.
    void HoldInProcesses(const HostileBatch& batch, std::string& failure);
    // Checks the host after a batch; an empty result means it answered.
    std::string CheckHost(const std::string& during);
    // Why the host did not answer `during`: it ended, or it runs and `why`.
    std::string DescribeFailure(const std::string& during, const std::string& why);
    // Destroys the client and compares the host's figures; false with a reason.
    bool FinishHost(std::string& failure);
    void ReportFailure(const HostileBatch& batch, const std::string& failure);
    void Print(const char* format, ...);

    CampaignOptions options_;
    FILE* out_;
    Counters counters_;
    std::atomic<uint64_t> lastNumber_{0};  // of the connections greeted with Open
    uint64_t batches_ = 0;
    uint64_t failures_ = 0;
    uint64_t hostsStarted_ = 0;
    // The longest wait for an answer after a batch, and that batch.
    uint64_t slowestAnswerMs_ = 0;
    uint64_t slowestBatch_ = 0;
    uint64_t lastAnswerMs_ = 0;
    // A batch's effect may outlast the question asked after it (a message
    // still being served): a failure names the batch before it too.
    std::string previousDescription_;
    HostProcess::Resources baseline_;
    SettingsProbe probe_;
    StallingSinks stalling_;
    std::unique_ptr<HostProcess> host_;  // last: a host still running is ended first
};
