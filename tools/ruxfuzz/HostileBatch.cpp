#include "tools/ruxfuzz/HostileBatch.h"

#include "tools/ruxfuzz/FuzzRandom.h"
#include "tools/ruxfuzz/WireItem.h"

#include "rux/wire/Frame.h"
#include "rux/item/ItemNode.h"

#include <utility>

namespace {

using rux::FrameKind;
using Members = std::vector<std::pair<std::string, std::string>>;

// In the order of BatchClass.
constexpr const char* ClassNames[] = {
    "headers", "kinds", "requests", "items", "services", "deep", "wide", "queries", "commands", "connections", "churn",
    "idle", "stall", "lockout", "low-integrity",
};
constexpr size_t ClassCount = sizeof(ClassNames) / sizeof(ClassNames[0]);
static_assert(ClassCount == static_cast<size_t>(BatchClass::LowIntegrity) + 1, "a name for every batch class");

// How soon the genuine question must be answered after queries to stalling
// reply sinks: the host answers it at once; a stalled reply holds one of its
// reply threads for its deadline (2 s), never the others.
constexpr uint32_t StallAnswerLimitMs = 5000;

constexpr const char* Commands[] = {
    "RequestSBSetting", "ApplySBSetting", "ClearVirtualData", "ResetMessage", "Enable", "ShutDownSB",
};
constexpr const char* SettingNames[] = {
    "EnableAutoUpdate",   "EnableSiteStatusCheck",   "EnableAntiphishingSig", "EnableAntiphishingHeuristic",
    "EnableBlockSpySite", "EnableCheckFileDownload", "EnableCheckKeystrokes", "KeystrokeSetting",
    "EnableScanSpy",      "EnableVirtual",
};
constexpr uint8_t MessageKinds[] = {
    uint8_t(FrameKind::Call),   uint8_t(FrameKind::Query), uint8_t(FrameKind::Advise),
    uint8_t(FrameKind::Update), uint8_t(FrameKind::Reply),
};

template <typename T, size_t N>
const T& Pick(FuzzRandom& random, const T (&table)[N])
{
    return table[random.Below(N)];
}

uint8_t Kind(FrameKind kind)
{
    return static_cast<uint8_t>(kind);
}

HostileFrame Message(uint8_t kind, std::string item)
{
    HostileFrame frame;
    frame.bytes = WireItem::Frame(kind, 0, item);
    frame.patchService = true;
    return frame;
}

HostileFrame Request(FrameKind kind, const std::string& body)
{
    HostileFrame frame;
    frame.bytes = WireItem::Frame(Kind(kind), 0, body);
    frame.answered = true;
    return frame;
}

HostileFrame Unanswered(std::string bytes)
{
    HostileFrame frame;
    frame.bytes = std::move(bytes);
    return frame;
}

// A well-formed item of every type, small, nested a little.
std::string GoodItem(FuzzRandom& random, int depth = 1)
{
    switch (random.Below(depth < 3 ? 5 : 4)) {
    case 0:
        return WireItem::String(random.Text(random.Below(24)));
    case 1:
        return WireItem::Blob(random.Bytes(random.Below(24)));
    case 2:
        return WireItem::Bool(static_cast<uint8_t>(random.Below(2)));
    case 3:
        return WireItem::Int(static_cast<int32_t>(random.Next()));
    default: {
        Members members;
        for (uint64_t i = random.Below(5); i > 0; --i)
            members.emplace_back(random.Text(random.Below(8)), GoodItem(random, depth + 1));
        return WireItem::Assoc(members);
    }
    }
}

// A well-formed item broken in one to three places.
std::string BrokenItem(FuzzRandom& random)
{
    switch (random.Below(6)) {
    case 0:
        return WireItem::Bool(static_cast<uint8_t>(random.Between(2, 255)));
    case 1:  // a count far beyond what follows
        return WireItem::AssocHead(static_cast<uint32_t>(random.Chance(1, 2) ? 0xFFFFFFFFu : rux::MaxAssocMembers + 1)) +
               WireItem::String("k") + WireItem::Bool(1);
    case 2:  // a key that is not a string
        return WireItem::AssocHead(1) + WireItem::Int(7) + WireItem::Bool(1);
    case 3:  // a length far beyond what follows
        return char(rux::ItemType::String) + WireItem::U32(static_cast<uint32_t>(random.Between(0x100, 0xFFFFFFFF))) +
               random.Text(8);
    default:
        break;
    }
    std::string item = GoodItem(random);
    for (uint64_t n = random.Between(1, 3); n > 0 && !item.empty(); --n) {
        size_t at = random.Below(item.size());
        switch (random.Below(5)) {
        case 0:
            item.resize(at);
            break;
        case 1:
            item += random.Bytes(random.Between(1, 8));
            break;
        case 2:
            item[at] = static_cast<char>(random.Next());
            break;
        case 3: {
            static const uint32_t lengths[] = {0, 1, 0x7FFFFFFF, 0xFFFFFFFF, 0x10000, 0xFFFF};
            std::string field = WireItem::U32(Pick(random, lengths));
            item.replace(at, std::min<size_t>(4, item.size() - at), field);
            break;
        }
        default: {
            static const uint8_t unknownTypes[] = {0, 1, 5, 6, 7, 8, 10, 11, 12, 13, 15, 0x80, 0xFF};
            item[0] = static_cast<char>(Pick(random, unknownTypes));
            break;
        }
        }
    }
    return item;
}

// A list nested `depth` deep: {"k": {"k": ... true}}; without its innermost
// value when `truncated`.
std::string Nested(uint32_t depth, bool truncated)
{
    std::string item;
    for (uint32_t i = 1; i < depth; ++i)
        item += WireItem::AssocHead(1) + WireItem::String("k");
    if (!truncated)
        item += WireItem::Bool(1);
    return item;
}

// A value of any type for a member the plug-in reads: mostly of the type it
// expects (`wanted`), else of another type, empty or very long.
std::string AnyValue(FuzzRandom& random, const std::string& wanted)
{
    switch (random.Below(8)) {
    case 0:
        return WireItem::Int(static_cast<int32_t>(random.Next()));
    case 1:
        return WireItem::Bool(1);
    case 2:
        return WireItem::Blob(wanted);
    case 3:
        return WireItem::Assoc({{"proc", WireItem::String(wanted)}});
    case 4:
        return WireItem::String(wanted + random.Text(random.Between(256, 4096)));
    case 5:
        return WireItem::String("");
    default:
        return WireItem::String(wanted);
    }
}

std::string SettingsArgument(FuzzRandom& random)
{
    Members members;
    for (uint64_t i = random.Below(12); i > 0; --i) {
        std::string name = random.Chance(3, 4) ? Pick(random, SettingNames) : random.Text(random.Below(40));
        std::string value = random.Chance(1, 2) ? WireItem::Bool(static_cast<uint8_t>(random.Below(2)))
                                                : GoodItem(random);
        members.emplace_back(std::move(name), std::move(value));
    }
    return WireItem::Assoc(members);
}

// A command of the plug-in with its members chosen by the fuzzer: each of
// "proc", "arg", "service", "source" and "cookie" present or not, repeated,
// of the right type or not, naming reply addresses that exist or not.
HostileFrame HostileCommand(FuzzRandom& random, const BatchLimits& limits)
{
    std::string command = Pick(random, Commands);
    switch (random.Below(8)) {
    case 0:
        command += std::string(1, '\0') + random.Text(4);  // the plug-in reads up to the zero
        break;
    case 1:
        command += " ";
        break;
    case 2:
        for (char& c : command)
            c = static_cast<char>(c | 0x20);
        break;
    default:
        break;
    }
    const std::string sinks[] = {limits.replySink, "SB", "QClient(1)", "NoSuchSink", "", "bad/name",
                                 std::string(300, 'S')};
    const std::string services[] = {"Reply", "SB", "", "NoSuchService", std::string(300, 'V')};
    Members members;
    auto add = [&](const char* name, std::string value) {
        if (random.Chance(4, 5))
            members.emplace_back(name, value);
        if (random.Chance(1, 10))
            members.emplace_back(name, std::move(value));
    };
    add("proc", AnyValue(random, command));
    std::string arg;
    if (command.rfind("ApplySBSetting", 0) == 0 && random.Chance(3, 4))
        arg = SettingsArgument(random);
    else if (command.rfind("Enable", 0) == 0 && random.Chance(1, 2))
        arg = WireItem::Bool(static_cast<uint8_t>(random.Below(2)));
    else
        arg = GoodItem(random);
    add("arg", arg);
    add("service", AnyValue(random, Pick(random, services)));
    add("source", AnyValue(random, Pick(random, sinks)));
    add("cookie", random.Chance(3, 4) ? WireItem::Int(static_cast<int32_t>(random.Next())) : GoodItem(random));
    for (size_t i = members.size(); i > 1; --i)
        std::swap(members[i - 1], members[random.Below(i)]);
    uint8_t kind = random.Chance(7, 10) ? Kind(FrameKind::Query) : Kind(FrameKind::Call);
    return Message(kind, WireItem::Assoc(members));
}

// A query "ApplySBSetting" up to its "arg" member, whose value follows.
std::string ApplySettingsHead(const BatchLimits& limits)
{
    Members members = {{"proc", WireItem::String("ApplySBSetting")}, {"service", WireItem::String("Reply")},
                       {"source", WireItem::String(limits.replySink)}, {"cookie", WireItem::Int(1)}};
    return WireItem::AssocHead(5) + WireItem::Members(members) + WireItem::String("arg");
}

void MakeHeaders(FuzzRandom& random, HostileBatch& batch)
{
    bool oversized = random.Chance(1, 8);
    for (uint64_t n = random.Between(40, 80); n > 0; --n) {
        std::string frame = WireItem::Frame(Pick(random, MessageKinds), 1, GoodItem(random));
        switch (random.Below(5)) {
        case 0:
            frame = random.Bytes(random.Below(rux::FrameHeaderBytes));
            break;
        case 1:
            frame[random.Below(4)] ^= static_cast<char>(random.Between(1, 255));
            break;
        case 2:
            frame[random.Between(5, 7)] = static_cast<char>(random.Between(1, 255));
            break;
        case 3: {
            static const uint32_t lengths[] = {0, 1, 0x7FFFFFFF, 0xFFFFFFFF, 0x100000};
            uint32_t length = random.Chance(1, 2) ? Pick(random, lengths)
                                                  : static_cast<uint32_t>(frame.size() - 16 + random.Between(1, 16));
            frame.replace(12, 4, WireItem::U32(length));
            break;
        }
        default:
            frame = random.Bytes(random.Between(rux::FrameHeaderBytes, 512));
            // Never the magic, so that no Ack is owed.
            if (frame[0] == static_cast<char>(rux::FrameMagic & 0xFF))
                frame[0] = 0;
            break;
        }
        batch.frames.push_back(Unanswered(frame));
    }
    if (oversized)
        batch.frames.push_back(Unanswered(
            WireItem::Frame(Kind(FrameKind::Call), 1, std::string(rux::MaxFrameBytes, 'x'))));
    batch.description = "malformed headers" + std::string(oversized ? ", one frame above the size limit" : "");
}

void MakeKinds(FuzzRandom& random, HostileBatch& batch)
{
    for (uint64_t n = random.Between(40, 80); n > 0; --n) {
        uint8_t kind;
        do {
            kind = static_cast<uint8_t>(random.Next());
        } while ((kind >= Kind(FrameKind::Hello) && kind <= Kind(FrameKind::Open)) ||
                 (kind >= Kind(FrameKind::Call) && kind <= Kind(FrameKind::Reply)));
        if (random.Chance(1, 4))
            kind = Kind(FrameKind::Ack);
        batch.frames.push_back(Unanswered(WireItem::Frame(kind, static_cast<uint32_t>(random.Below(4)),
                                                          random.Bytes(random.Below(64)))));
    }
    batch.description = "unknown kinds and Acks sent to the sink";
}

// An Open body: a connection number, `count` awaited numbers (of which only
// `present` are there) and a name.
std::string OpenBody(uint64_t number, size_t count, size_t present, FuzzRandom& random, const std::string& name)
{
    std::string body = WireItem::U32(static_cast<uint32_t>(number)) + WireItem::U32(static_cast<uint32_t>(number >> 32));
    body += static_cast<char>(count);
    for (size_t i = 0; i < present; ++i)
        body += random.Bytes(8);
    return body + name;
}

void MakeRequests(FuzzRandom& random, HostileBatch& batch)
{
    for (uint64_t n = random.Between(30, 60); n > 0; --n) {
        switch (random.Below(5)) {
        case 0: {
            std::string body;
            switch (random.Below(4)) {
            case 0:
                break;
            case 1:
                body = std::string(1, static_cast<char>(random.Between(2, 255))) + random.Text(8);
                break;
            case 2:
                body = std::string(1, static_cast<char>(random.Below(2))) + random.Bytes(random.Below(300));
                break;
            default:
                body = std::string(1, static_cast<char>(random.Below(2))) + random.Text(64 * 1024);
                break;
            }
            batch.frames.push_back(Request(FrameKind::Hello, body));
            break;
        }
        case 1: {
            const std::string names[] = {"", "sb", "SB ", std::string("SB\0x", 4), random.Text(random.Between(1, 200)),
                                         random.Bytes(random.Below(64)), std::string(4096, 'A')};
            batch.frames.push_back(Request(FrameKind::OpenService, Pick(random, names)));
            break;
        }
        case 2:
            batch.frames.push_back(Request(FrameKind::Bye, random.Bytes(random.Below(32))));
            break;
        case 3: {
            // Short, counting past the limit, numbers missing, a name past
            // 128 bytes, or well formed with numbers no connection has.
            size_t count = random.Below(rux::MaxAwaitedConnections + 1);
            const std::string bodies[] = {random.Bytes(random.Below(9)),
                                          OpenBody(random.Next(), random.Between(17, 255), 17, random, "SB"),
                                          OpenBody(random.Next(), count + 1, count, random, ""),
                                          OpenBody(random.Next(), count, count, random, std::string(129, 'S')),
                                          OpenBody(random.Next(), count, count, random, random.Text(random.Below(40))),
                                          OpenBody(0, count, count, random, "SB")};
            batch.frames.push_back(Request(FrameKind::Open, Pick(random, bodies)));
            break;
        }
        default:
            batch.frames.push_back(Request(FrameKind::Ping, random.Bytes(random.Below(32))));
            break;
        }
    }
    batch.peer = random.Chance(1, 2);
    batch.description = "hostile Hello, OpenService, Open, Bye and Ping bodies";
}

void MakeItems(FuzzRandom& random, HostileBatch& batch)
{
    for (uint64_t n = random.Between(40, 80); n > 0; --n)
        batch.frames.push_back(Message(Pick(random, MessageKinds), BrokenItem(random)));
    batch.description = "messages with broken items";
}

void MakeServices(FuzzRandom& random, HostileBatch& batch)
{
    for (uint64_t n = random.Between(40, 80); n > 0; --n) {
        if (random.Chance(1, 3)) {
            uint8_t kind = random.Chance(1, 2) ? Kind(FrameKind::Advise) : Kind(FrameKind::Reply);
            batch.frames.push_back(Message(random.Chance(1, 2) ? Kind(FrameKind::Update) : kind, GoodItem(random)));
            continue;
        }
        static const uint32_t services[] = {0, 2, 3, 7, 0x7FFFFFFF, 0xFFFFFFFF};
        uint32_t service = random.Chance(1, 2) ? Pick(random, services) : static_cast<uint32_t>(random.Next());
        batch.frames.push_back(Unanswered(WireItem::Frame(Pick(random, MessageKinds), service, GoodItem(random))));
    }
    batch.description = "good items for services that do not run, and kinds the plug-in does not serve";
}

void MakeDeep(FuzzRandom& random, HostileBatch& batch, const BatchLimits& limits)
{
    const uint32_t depths[] = {uint32_t(rux::MaxItemDepth) - 1, uint32_t(rux::MaxItemDepth),
                               uint32_t(rux::MaxItemDepth) + 1, 100, 5000, 90000};
    for (uint64_t n = random.Between(10, 20); n > 0; --n) {
        uint32_t depth = Pick(random, depths);
        bool truncated = random.Chance(1, 4);
        std::string item = Nested(depth, truncated);
        if (random.Chance(1, 2)) {
            // An "ApplySBSetting" whose argument is the deep list.
            batch.frames.push_back(Message(Kind(FrameKind::Query), ApplySettingsHead(limits) + item));
        } else {
            batch.frames.push_back(Message(Kind(FrameKind::Call), item));
        }
    }
    batch.description = "items nested around the depth limit and far beyond it";
}

void MakeWide(FuzzRandom& random, HostileBatch& batch, const BatchLimits& limits)
{
    std::string what;
    for (uint64_t n = random.Between(1, 3); n > 0; --n) {
        uint32_t members = static_cast<uint32_t>(random.Chance(1, 2) ? limits.wideMembers
                                                                     : random.Between(1000, limits.wideMembers));
        switch (random.Below(5)) {
        case 0: {
            // "ApplySBSetting" with as many distinct keys as the list holds:
            // the plug-in looks every key up in the list.
            std::string arg = WireItem::AssocHead(members);
            for (uint32_t i = 0; i < members; ++i) {
                std::string key(1, 'k');
                key += std::to_string(i);
                arg += WireItem::String(key) + WireItem::Bool(1);
            }
            batch.frames.push_back(Message(Kind(FrameKind::Query), ApplySettingsHead(limits) + arg));
            what += " ApplySBSetting of " + std::to_string(members) + " keys;";
            break;
        }
        case 1: {
            // The smallest members there are: empty keys and bools, 7 bytes each.
            std::string list = WireItem::AssocHead(members);
            for (uint32_t i = 0; i < members; ++i)
                list += WireItem::String("") + WireItem::Bool(1);
            batch.frames.push_back(Message(Kind(FrameKind::Call), list));
            what += " call of " + std::to_string(members) + " 7-byte members;";
            break;
        }
        case 2: {
            uint32_t over = uint32_t(rux::MaxAssocMembers) + 1;
            std::string list = WireItem::AssocHead(over);
            for (uint32_t i = 0; i < over; ++i)
                list += WireItem::String("") + WireItem::Bool(1);
            batch.frames.push_back(Message(Kind(FrameKind::Call), list));
            what += " list one member above the limit;";
            break;
        }
        case 3: {
            size_t length = rux::MaxFrameBytes - rux::FrameHeaderBytes - 5;
            batch.frames.push_back(Message(Kind(FrameKind::Call), WireItem::String(random.Text(length))));
            what += " string filling the largest frame;";
            break;
        }
        default:
            batch.frames.push_back(Unanswered(WireItem::Frame(
                Kind(FrameKind::Call), 1, WireItem::Blob(std::string(rux::MaxFrameBytes, 'B')))));
            what += " frame above the size limit;";
            break;
        }
    }
    what.pop_back();
    batch.description = what.substr(1);  // each part begins with a blank
}

void MakeQueries(FuzzRandom& random, HostileBatch& batch, const BatchLimits& limits)
{
    for (uint64_t n = random.Between(30, 60); n > 0; --n)
        batch.frames.push_back(HostileCommand(random, limits));
    batch.description = "the plug-in's commands with members missing, repeated or of the wrong type";
}

void MakeCommands(FuzzRandom& random, HostileBatch& batch, const BatchLimits& limits)
{
    for (uint64_t n = random.Between(40, 80); n > 0; --n) {
        std::string name = random.Chance(1, 2) ? random.Text(random.Below(300)) : random.Bytes(random.Below(40));
        switch (random.Below(4)) {
        case 0:
            batch.frames.push_back(Message(Kind(FrameKind::Call), WireItem::String(name)));
            break;
        case 1:
            batch.frames.push_back(Message(Kind(FrameKind::Call), WireItem::Blob(name)));
            break;
        case 2:
            batch.frames.push_back(Message(Kind(FrameKind::Call), WireItem::Assoc({{"proc", WireItem::String(name)},
                                                                                   {"arg", GoodItem(random)}})));
            break;
        default:
            batch.frames.push_back(Message(Kind(FrameKind::Query),
                                           WireItem::Assoc({{"proc", WireItem::String(name)},
                                                            {"service", WireItem::String("Reply")},
                                                            {"source", WireItem::String(limits.replySink)},
                                                            {"cookie", WireItem::Int(3)}})));
            break;
        }
    }
    batch.description = "unknown commands";
}

void MakeConnections(FuzzRandom& random, HostileBatch& batch, const BatchLimits& limits)
{
    batch.connections = static_cast<uint32_t>(random.Between(4, 48));
    if (random.Chance(1, 3)) {
        batch.handshake = random.Chance(1, 2);
        batch.byeAtEnd = false;
        batch.description = std::to_string(batch.connections) + " connections opened at once and dropped" +
                            (batch.handshake ? " after their handshake" : " without a byte");
        return;
    }
    batch.peer = random.Chance(1, 2);
    batch.byeAtEnd = random.Chance(1, 2);
    for (uint64_t n = 2ull * batch.connections; n > 0; --n)
        batch.frames.push_back(random.Chance(1, 2) ? HostileCommand(random, limits)
                                                   : Message(Pick(random, MessageKinds), BrokenItem(random)));
    batch.description = std::to_string(batch.connections) + (batch.peer ? " peers" : " connections") +
                        " at once, frames dealt in turn, then " + (batch.byeAtEnd ? "Bye" : "dropped");
}

// "RequestSBSetting" queries whose reply address is a sink of the fuzzer that
// stalls, now and then in other letter case (the same pipe) or naming the
// fuzzer's genuine sink between them.
void MakeStall(FuzzRandom& random, HostileBatch& batch, const BatchLimits& limits)
{
    uint64_t queries = random.Between(20, 60);
    for (uint64_t n = 0; n < queries; ++n) {
        std::string sink = random.Chance(1, 2) ? limits.dripSink : limits.silentSink;
        if (random.Chance(1, 8)) {
            for (char& c : sink)
                c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
        } else if (random.Chance(1, 10)) {
            sink = limits.replySink;
        }
        Members members = {{"proc", WireItem::String("RequestSBSetting")},
                           {"service", WireItem::String(random.Chance(1, 2) ? "SB" : "Reply")},
                           {"source", WireItem::String(sink)},
                           {"cookie", WireItem::Int(static_cast<int32_t>(random.Next()))}};
        batch.frames.push_back(Message(Kind(FrameKind::Query), WireItem::Assoc(members)));
    }
    batch.connections = static_cast<uint32_t>(random.Between(1, 4));
    batch.consoleWithinMs = StallAnswerLimitMs;
    batch.description = std::to_string(queries) + " settings queries to reply sinks that drip or never answer, then "
                        "the genuine question within " + std::to_string(StallAnswerLimitMs) + " ms";
}

}  // namespace

HostileBatch HostileBatch::Make(uint64_t seed, uint64_t index, const std::vector<BatchClass>& classes,
                                const BatchLimits& limits)
{
    // Each batch has its own stream, so that batch K is the same whether the
    // run started at 0 or at K.
    FuzzRandom random(seed ^ (index * 0xD1B54A32D192ED03ull));
    random.Next();
    HostileBatch batch;
    batch.index = index;
    batch.batchClass = classes[random.Below(classes.size())];
    switch (batch.batchClass) {
    case BatchClass::Headers:
        MakeHeaders(random, batch);
        break;
    case BatchClass::Kinds:
        MakeKinds(random, batch);
        break;
    case BatchClass::Requests:
        MakeRequests(random, batch);
        break;
    case BatchClass::Items:
        MakeItems(random, batch);
        break;
    case BatchClass::Services:
        MakeServices(random, batch);
        break;
    case BatchClass::Deep:
        MakeDeep(random, batch, limits);
        break;
    case BatchClass::Wide:
        MakeWide(random, batch, limits);
        break;
    case BatchClass::Queries:
        MakeQueries(random, batch, limits);
        break;
    case BatchClass::Commands:
        MakeCommands(random, batch, limits);
        break;
    case BatchClass::Connections:
        MakeConnections(random, batch, limits);
        break;
    case BatchClass::Churn:
        batch.churnThreads = static_cast<uint32_t>(random.Between(2, 4));
        batch.churnPerThread = static_cast<uint32_t>(random.Between(20, 100));
        batch.description = std::to_string(batch.churnThreads) + " threads each opening, greeting and dropping " +
                            std::to_string(batch.churnPerThread) + " connections";
        break;
    case BatchClass::Idle:
        batch.idleConnections = static_cast<uint32_t>(random.Between(8, 72));
        batch.description = std::to_string(batch.idleConnections) + " idle connections held while the host is asked";
        break;
    case BatchClass::Stall:
        MakeStall(random, batch, limits);
        break;
    case BatchClass::Lockout:
        // Mostly whole shares (16), so that the holders fill what other
        // processes may take and a newcomer finds nothing free.
        batch.holderProcesses = static_cast<uint32_t>(random.Between(3, 5));
        batch.holderConnections = random.Chance(3, 4) ? 16u : static_cast<uint32_t>(random.Between(8, 17));
        batch.description = std::to_string(batch.holderProcesses) + " processes each greeting and holding " +
                            std::to_string(batch.holderConnections) +
                            " idle connections, then a newcomer asking RequestSBSetting";
        break;
    case BatchClass::LowIntegrity:
        batch.holderProcesses = 1;
        batch.holderConnections = static_cast<uint32_t>(random.Between(1, 17));
        batch.lowIntegrity = true;
        batch.description = "a process lowered to low integrity greeting " + std::to_string(batch.holderConnections) +
                            " connections";
        break;
    }
    // Half the plain connections greet as Rux.dll's do: Open, with a number
    // and the service.
    if (!batch.peer && batch.handshake && random.Chance(1, 2)) {
        batch.greetWithOpen = true;
        batch.description += ", greeting with Open";
    }
    batch.description = std::string(ClassName(batch.batchClass)) + ": " + batch.description;
    return batch;
}

const char* HostileBatch::ClassName(BatchClass batchClass)
{
    auto at = static_cast<size_t>(batchClass);
    return at < ClassCount ? ClassNames[at] : "?";
}

std::vector<BatchClass> HostileBatch::AllClasses()
{
    std::vector<BatchClass> classes;
    for (size_t i = 0; i < ClassCount; ++i)
        classes.push_back(static_cast<BatchClass>(i));
    return classes;
}

bool HostileBatch::ParseClasses(const std::string& text, std::vector<BatchClass>& classes)
{
    if (text == "all") {
        classes = AllClasses();
        return true;
    }
    std::vector<BatchClass> parsed;
    size_t at = 0;
    while (at <= text.size()) {
        size_t end = text.find(',', at);
        if (end == std::string::npos)
            end = text.size();
        std::string name = text.substr(at, end - at);
        size_t i = 0;
        while (i < ClassCount && name != ClassNames[i])
            ++i;
        if (i == ClassCount)
            return false;
        parsed.push_back(static_cast<BatchClass>(i));
        at = end + 1;
    }
    classes = std::move(parsed);
    return !classes.empty();
}
