// One batch of hostile traffic for a sink: the frames to send and how they
// travel (over how many connections, after a genuine handshake or not), or a
// pattern of connections (churn, idle connections). A batch is made from the
// seed and its index alone, so that any batch of a run can be made again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class BatchClass {
    Headers,      // malformed headers: short, bad magic, flags, length fields, oversized
    Kinds,        // well-formed headers of unknown kinds, and Acks sent to the sink
    Requests,     // Hello, OpenService, Open, Bye and Ping with hostile bodies
    Items,        // messages whose item is truncated, trailing, of unknown types or wrong lengths
    Services,     // good items for services that are not running, and kinds the plug-in ignores
    Deep,         // items nested around the depth limit and far beyond it
    Wide,         // lists of up to 65,535 members, the longest strings, frames above the limit
    Queries,      // the plug-in's commands with members missing, repeated or of the wrong type
    Commands,     // unknown commands, as calls and as queries
    Connections,  // many connections at once, each with frames; connect-and-drop
    Churn,        // threads opening, greeting and dropping connections as fast as they can
    Idle,         // connections that never send a byte, held while the host is asked
    Stall,        // settings queries whose reply sinks drip or never answer, then the genuine question
    Lockout,      // processes holding greeted, idle connections up to every share, then a newcomer that must get in
    LowIntegrity, // a process at low integrity (as a sandbox runs one) greeting connections
};

struct HostileFrame {
    std::string bytes;
    bool answered = false;      // the sink answers it with an Ack
    bool patchService = false;  // gets the service id that the handshake returned
};

struct BatchLimits {
    uint32_t wideMembers = 65535;  // members of the widest list
    std::string replySink;         // the fuzzer's own sink, named as a reply address
    std::string dripSink;          // reply sinks of the fuzzer that stall (StallingSinks)
    std::string silentSink;
};

struct HostileBatch {
    BatchClass batchClass = BatchClass::Headers;
    uint64_t index = 0;
    std::string description;  // one line: the class and what was chosen
    std::vector<HostileFrame> frames;

    // How the frames travel: dealt in turn over this many connections, each
    // opened with a genuine handshake unless `handshake` is false, and closed
    // with a Bye or simply dropped. The Bye's Ack tells that the sink has
    // queued everything sent before it, so that the question asked after the
    // batch is answered only after the batch's messages were served.
    uint32_t connections = 1;
    bool handshake = true;
    bool peer = false;
    bool greetWithOpen = false;  // a plain handshake is one Open, not Hello and OpenService
    bool byeAtEnd = true;
    // Churn: each thread opens, greets and drops this many connections.
    uint32_t churnThreads = 0;
    uint32_t churnPerThread = 0;
    // Connections opened and never written, held while the host is asked.
    uint32_t idleConnections = 0;
    // When set: after the frames, ruxui-console asks, and must be answered
    // within this many milliseconds.
    uint32_t consoleWithinMs = 0;
    // Processes of their own (HolderProcess), each greeting this many
    // connections and holding them, at low integrity or not.
    uint32_t holderProcesses = 0;
    uint32_t holderConnections = 0;
    bool lowIntegrity = false;

    // The hostile frames the batch sends (churn counts its Hellos, holders
    // their greetings).
    uint64_t HostileFrames() const
    {
        return frames.size() + uint64_t(churnThreads) * churnPerThread + uint64_t(holderProcesses) * holderConnections;
    }

    static HostileBatch Make(uint64_t seed, uint64_t index, const std::vector<BatchClass>& classes,
                             const BatchLimits& limits);
    static const char* ClassName(BatchClass batchClass);
    // Parses a comma-separated list of class names, or "all".
    static bool ParseClasses(const std::string& text, std::vector<BatchClass>& classes);
    static std::vector<BatchClass> AllClasses();
};
