// The exported calls of Rux.dll. Every one runs through RunCall: its body gets
// the library, checks its handles through the library's operations (which
// take the library's lock for themselves), and reports failure as the
// contract says: null, 0 for "not delivered", non-zero for the accessors, and
// RuxResult_Empty for RuxPopCall. Nothing the body throws leaves the export.
#include "contracts/RuxApi.h"
#include "contracts/RuxExtensions.h"

#include "rux/client/ClosedConnections.h"
#include "rux/client/Connection.h"
#include "rux/item/ItemFormat.h"
#include "rux/Library.h"
#include "rux/security/PeerIdentity.h"
#include "rux/sink/Sink.h"
#include "rux/wire/SinkName.h"
#include "rux/Trace.h"

#include <cstdarg>
#include <cstring>
#include <new>

using namespace rux;

namespace {

constexpr int32_t AccessFailed = -1;
constexpr uint32_t MaxExchangeTimeoutMs = 60000;

uint64_t Raw(const void* handle)
{
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle));
}

template <class H>
H ToHandle(uint64_t value)
{
    return reinterpret_cast<H>(static_cast<uintptr_t>(value));
}

// Runs one export. An exception (out of memory, mostly) becomes `failure`,
// with the thread's last error telling which.
template <class R, class Body>
R RunCall(R failure, Body&& body) noexcept
{
    try {
        return body(Library::Get());
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    } catch (...) {
        SetLastError(ERROR_INTERNAL_ERROR);
    }
    return failure;
}

template <class R>
R Fail(R result, DWORD error)
{
    SetLastError(error);
    return result;
}

// Encodes what `build` makes of the nodes of `items` and posts it on an opened
// service. Non-zero when written.
template <size_t N, class F>
int32_t Send(Library& library, RuxService service, FrameKind kind, const std::array<RuxItem, N>& items, F&& build)
{
    auto link = library.Find<ServiceLink>(Raw(service), HandleKind::OpenedService);
    std::array<uint64_t, N> handles;
    for (size_t i = 0; i < N; ++i)
        handles[i] = Raw(items[i]);
    std::string body;
    DWORD refused = ERROR_INVALID_HANDLE;
    if (!link || !library.Encode(handles, build, body, refused))
        return Fail(0, refused);
    if (link->connection->Post(kind, link->id, body))
        return 1;
    return Fail(0, link->connection->FailureError());
}

// A value the sender wraps one level deeper: false when the message would
// nest deeper than any receiver decodes.
bool FitsOneLevelDown(const ItemPtr& node)
{
    return !node || node->Depth() + 1 <= MaxItemDepth;
}

// The node itself, for the calls that send one item as it is.
ItemPtr Single(const std::array<ItemPtr, 1>& nodes)
{
    return nodes[0];
}

RuxConnection OpenConnection(Library& library, const char* sinkName, bool peer, const std::string& source,
                             const ExchangeLimits* limits = nullptr)
{
    DWORD error = 0;
    auto connection = Connection::Open(sinkName, peer, source, error, limits);
    if (!connection) {
        Trace::Line("Rux: cannot connect to sink '%s' (error %lu)", sinkName, error);
        return Fail<RuxConnection>(nullptr, error);
    }
    return ToHandle<RuxConnection>(library.Add(HandleKind::Connection, connection));
}

RuxConnection OpenPeer(Library& library, RuxSink sink, const char* peerName)
{
    if (!SinkName::Valid(peerName))
        return Fail<RuxConnection>(nullptr, ERROR_INVALID_NAME);
    auto owner = library.Find<Sink>(Raw(sink), HandleKind::Sink);
    if (!owner)
        return Fail<RuxConnection>(nullptr, ERROR_INVALID_HANDLE);
    return OpenConnection(library, peerName, true, owner->Name());
}

// Connections this process closed to one of its own sinks may still be
// carrying messages into it. A pop that finds the queue empty waits for them
// to end, so that what the process sent before a close is there when it pops
// next. True when there were such connections and they have ended.
bool AwaitOwnClosed(Library& library, RuxService service)
{
    if (ClosedConnections::Get().Empty())
        return false;
    auto started = library.Find<StartedService>(Raw(service), HandleKind::StartedService);
    if (!started)
        return false;
    std::vector<uint64_t> closed = ClosedConnections::Get().Unproven(started->sink->Name());
    if (closed.empty() || !started->sink->AwaitEnded(GetCurrentProcessId(), closed, AwaitEndTimeoutMs))
        return false;
    ClosedConnections::Get().Proven(started->sink->Name(), closed);
    return true;
}

// The value of a Bool or Int32 item.
bool ReadNumber(Library& library, RuxItem item, int32_t& number)
{
    return library.ReadItem(Raw(item), [&](const ItemNode& node) {
        if (node.type != ItemType::Bool && node.type != ItemType::Int32)
            return false;
        number = node.number;
        return true;
    });
}

}  // namespace

RUX_API int32_t RuxInit(void)
{
    return RunCall<int32_t>(0, [](Library& library) { return library.Init(); });
}

RUX_API int32_t RuxExit(void)
{
    return RunCall<int32_t>(0, [](Library& library) -> int32_t {
        // The trace callback on a sink's thread: that thread cannot wait for
        // itself to end.
        if (Sink::OnWorkerThread())
            return Fail(0, ERROR_INVALID_THREAD_ID);
        Library::Endpoints stop;
        int32_t left = library.Exit(stop);
        for (auto& connection : stop.connections)
            connection->Close();
        for (auto& sink : stop.sinks)
            sink->Stop();
        for (auto& started : stop.services)
            started->service->Stop();
        if (left == 0) {
            Connection::CloseKeptEvents();
            PeerIdentity::ForgetServers();
        }
        return left;
    });
}

RUX_API void RuxSetTraceProc(RuxTraceProcFn proc)
{
    RunCall<int>(0, [&](Library&) {
        Trace::Set(proc);
        return 0;
    });
}

RUX_API RuxSink RuxStartSink(const char* name, HANDLE event)
{
    return RunCall<RuxSink>(nullptr, [&](Library& library) -> RuxSink {
        if (!SinkName::Valid(name))
            return Fail<RuxSink>(nullptr, ERROR_INVALID_NAME);
        if (!library.Initialised())
            return Fail<RuxSink>(nullptr, ERROR_NOT_READY);
        DWORD error = 0;
        auto sink = Sink::Start(name, event, error);
        if (!sink) {
            Trace::Line("Rux: cannot start sink '%s' (error %lu)", name, error);
            return Fail<RuxSink>(nullptr, error);
        }
        return ToHandle<RuxSink>(library.Add(HandleKind::Sink, sink));
    });
}

RUX_API RuxService RuxStartService(RuxSink sink, const char* name, HANDLE event)
{
    return RunCall<RuxService>(nullptr, [&](Library& library) -> RuxService {
        if (!SinkName::Valid(name))
            return Fail<RuxService>(nullptr, ERROR_INVALID_NAME);
        auto owner = library.Find<Sink>(Raw(sink), HandleKind::Sink);
        DWORD error = ERROR_INVALID_HANDLE;
        auto service = owner ? owner->AddService(name, event, error) : nullptr;
        if (!service)
            return Fail<RuxService>(nullptr, error);
        auto started = std::make_shared<StartedService>(StartedService{owner, service, 0, nullptr});
        return ToHandle<RuxService>(library.Add(HandleKind::StartedService, started));
    });
}

RUX_API void RuxStopService(RuxService service)
{
    RunCall<int>(0, [&](Library& library) {
        if (auto started = library.RemoveStartedService(Raw(service))) {
            started->sink->RemoveService(started->service);
            started->service->Stop();
        }
        return 0;
    });
}

RUX_API void RuxStopSink(RuxSink sink)
{
    RunCall<int>(0, [&](Library& library) {
        // See RuxExit: a sink's thread cannot join the sink's threads.
        if (Sink::OnWorkerThread())
            return Fail(0, ERROR_INVALID_THREAD_ID);
        if (auto owner = library.Remove<Sink>(Raw(sink), HandleKind::Sink))
            owner->Stop();
        return 0;
    });
}

RUX_API RuxConnection RuxOpenPeer(RuxSink sink, const char* peerName)
{
    return RunCall<RuxConnection>(nullptr, [&](Library& library) { return OpenPeer(library, sink, peerName); });
}

RUX_API int32_t RuxEnsurePeer(RuxSink sink, const char* peerName, RuxConnection* peer)
{
    return RunCall<int32_t>(0, [&](Library& library) -> int32_t {
        if (!peer)
            return 0;
        auto current = library.Find<Connection>(Raw(*peer), HandleKind::Connection);
        if (current && !current->Broken())
            return 1;
        if (current) {
            library.Remove<Connection>(Raw(*peer), HandleKind::Connection);
            current->Close();
            Trace::Line("Rux: reopening the broken peer to sink '%s'", current->SinkName().c_str());
        }
        *peer = OpenPeer(library, sink, peerName);
        return *peer ? 1 : 0;
    });
}

RUX_API RuxConnection RuxOpenConnection(const char* sinkName)
{
    return RunCall<RuxConnection>(nullptr, [&](Library& library) -> RuxConnection {
        if (!SinkName::Valid(sinkName))
            return Fail<RuxConnection>(nullptr, ERROR_INVALID_NAME);
        if (!library.Initialised())
            return Fail<RuxConnection>(nullptr, ERROR_NOT_READY);
        return OpenConnection(library, sinkName, false, std::string());
    });
}

RUX_API RuxService RuxOpenService(RuxConnection connection, const char* serviceName)
{
    return RunCall<RuxService>(nullptr, [&](Library& library) -> RuxService {
        if (!SinkName::Valid(serviceName))
            return Fail<RuxService>(nullptr, ERROR_INVALID_NAME);
        auto owner = library.Find<Connection>(Raw(connection), HandleKind::Connection);
        if (!owner)
            return Fail<RuxService>(nullptr, ERROR_INVALID_HANDLE);
        int32_t status = 0;
        uint32_t id = 0;
        if (!owner->OpenService(serviceName, status, id) || status != 0) {
            Trace::Line("Rux: sink '%s' has no service '%s'", owner->SinkName().c_str(), serviceName);
            return Fail<RuxService>(nullptr, status ? static_cast<DWORD>(status) : owner->FailureError());
        }
        auto link = std::make_shared<ServiceLink>(ServiceLink{owner, id, serviceName});
        return ToHandle<RuxService>(library.Add(HandleKind::OpenedService, link));
    });
}

RUX_API void RuxCloseService(RuxService service)
{
    // The link may hold the last owner of its connection, which then says Bye
    // here, after the library's lock was released.
    RunCall<int>(0, [&](Library& library) {
        library.Remove<ServiceLink>(Raw(service), HandleKind::OpenedService);
        return 0;
    });
}

RUX_API void RuxCloseConnection(RuxConnection connection)
{
    RunCall<int>(0, [&](Library& library) {
        if (auto owner = library.Remove<Connection>(Raw(connection), HandleKind::Connection))
            owner->Close();
        return 0;
    });
}

RUX_API int32_t RuxPopCall(RuxService service, RuxItem* call)
{
    return RunCall<int32_t>(RuxResult_Empty, [&](Library& library) -> int32_t {
        int32_t kind = RuxResult_Empty;
        uint64_t popped = 0;
        if (!call || !library.Pop(Raw(service), kind, popped))
            return Fail<int32_t>(RuxResult_Empty, ERROR_INVALID_HANDLE);
        if (kind == RuxResult_Empty && AwaitOwnClosed(library, service) && !library.Pop(Raw(service), kind, popped))
            return Fail<int32_t>(RuxResult_Empty, ERROR_INVALID_HANDLE);
        if (kind != RuxResult_Empty)
            *call = ToHandle<RuxItem>(popped);
        return kind;
    });
}

RUX_API int32_t RuxGetAssoc(RuxItem item, const char* key, RuxItem* member)
{
    return RunCall<int32_t>(AccessFailed, [&](Library& library) -> int32_t {
        uint64_t handle = key && member ? library.DeriveMember(Raw(item), key) : 0;
        if (!handle)
            return AccessFailed;
        *member = ToHandle<RuxItem>(handle);
        return 0;
    });
}

RUX_API int32_t RuxGetType(RuxItem item, int32_t* type)
{
    return RunCall<int32_t>(AccessFailed, [&](Library& library) -> int32_t {
        return type && library.ReadItem(Raw(item), [&](const ItemNode& node) {
            *type = static_cast<int32_t>(node.type);
            return true;
        }) ? 0 : AccessFailed;
    });
}

RUX_API int32_t RuxGetLen(RuxItem item, uint16_t* length)
{
    return RunCall<int32_t>(AccessFailed, [&](Library& library) -> int32_t {
        return length && library.ReadItem(Raw(item), [&](const ItemNode& node) {
            size_t count;
            if (node.type == ItemType::Assoc)
                count = node.members.size();
            else if (node.type == ItemType::String || node.type == ItemType::Blob)
                count = node.bytes.size();
            else
                return false;
            if (count > 0xFFFF)
                return false;
            *length = static_cast<uint16_t>(count);
            return true;
        }) ? 0 : AccessFailed;
    });
}

RUX_API int32_t RuxGetNthKey(RuxItem item, uint16_t index, RuxItem* key)
{
    return RunCall<int32_t>(AccessFailed, [&](Library& library) -> int32_t {
        uint64_t handle = key ? library.DeriveKey(Raw(item), index) : 0;
        if (!handle)
            return AccessFailed;
        *key = ToHandle<RuxItem>(handle);
        return 0;
    });
}

RUX_API int32_t RuxGetAt(RuxItem item, RuxItem key, RuxItem* value)
{
    return RunCall<int32_t>(AccessFailed, [&](Library& library) -> int32_t {
        uint64_t handle = value ? library.DeriveValue(Raw(item), Raw(key)) : 0;
        if (!handle)
            return AccessFailed;
        *value = ToHandle<RuxItem>(handle);
        return 0;
    });
}

RUX_API int32_t RuxGetBool(RuxItem item, int32_t* value)
{
    const int32_t result = RuxGetInt(item, value);
    if (result == 0)
        *value = *value != 0 ? 1 : 0;
    return result;
}

RUX_API int32_t RuxGetInt(RuxItem item, int32_t* value)
{
    return RunCall<int32_t>(AccessFailed, [&](Library& library) -> int32_t {
        int32_t number = 0;
        if (!value || !ReadNumber(library, item, number))
            return AccessFailed;
        *value = number;
        return 0;
    });
}

RUX_API int32_t RuxCopyStr(RuxItem item, char* buffer, uint32_t offset, uint32_t size)
{
    return RunCall<int32_t>(AccessFailed, [&](Library& library) -> int32_t {
        bool tooSmall = false;
        bool copied = buffer && library.ReadItem(Raw(item), [&](const ItemNode& node) {
            if (node.type != ItemType::String)
                return false;
            const std::string& text = node.bytes;
            // The whole rest of the text and its terminator must fit: a cut
            // text would pass for a different command or name.
            if (offset > text.size() || text.size() - offset >= size) {
                tooSmall = true;
                return false;
            }
            std::memcpy(buffer, text.data() + offset, text.size() - offset);
            buffer[text.size() - offset] = '\0';
            return true;
        });
        if (tooSmall)
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return copied ? 0 : AccessFailed;
    });
}

RUX_API int32_t RuxCopyBlob(RuxItem item, void* buffer, uint16_t* length, uint16_t capacity)
{
    return RunCall<int32_t>(AccessFailed, [&](Library& library) -> int32_t {
        bool tooSmall = false;
        bool copied = length && library.ReadItem(Raw(item), [&](const ItemNode& node) {
            if (node.type != ItemType::Blob)
                return false;
            const std::string& data = node.bytes;
            if (data.size() > capacity || (!buffer && !data.empty())) {
                tooSmall = true;
                return false;
            }
            if (!data.empty())
                std::memcpy(buffer, data.data(), data.size());
            *length = static_cast<uint16_t>(data.size());
            return true;
        });
        if (tooSmall)
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return copied ? 0 : AccessFailed;
    });
}

RUX_API RuxItem RuxBuildItem(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    RuxItem item = RunCall<RuxItem>(nullptr, [&](Library& library) -> RuxItem {
        ItemPtr node = ItemFormat::Build(format, args);
        if (!node)
            return Fail<RuxItem>(nullptr, ERROR_INVALID_PARAMETER);
        return ToHandle<RuxItem>(library.AddItem(std::move(node)));
    });
    va_end(args);
    return item;
}

RUX_API RuxItem RuxBuildBlob(const void* data, uint32_t length)
{
    return RunCall<RuxItem>(nullptr, [&](Library& library) -> RuxItem {
        if ((!data && length) || length > RuxMaxFrameBytes)
            return Fail<RuxItem>(nullptr, ERROR_INVALID_PARAMETER);
        ItemPtr node = ItemNode::MakeBlob(std::string(static_cast<const char*>(data), length));
        return ToHandle<RuxItem>(library.AddItem(std::move(node)));
    });
}

RUX_API void RuxReleaseItem(RuxItem item)
{
    RunCall<int>(0, [&](Library& library) {
        library.ReleaseItem(Raw(item));
        return 0;
    });
}

RUX_API int32_t RuxAssocSet(RuxItem assoc, const char* key, RuxItem value)
{
    return RunCall<int32_t>(0, [&](Library& library) -> int32_t {
        if (!key || !library.AssocSet(Raw(assoc), key, Raw(value)))
            return Fail(0, ERROR_INVALID_PARAMETER);
        return 1;
    });
}

RUX_API int32_t RuxReply(RuxService service, int32_t, RuxItem proc, RuxItem cookie, RuxItem item)
{
    return RunCall<int32_t>(0, [&](Library& library) {
        return Send(library, service, FrameKind::Reply, std::array<RuxItem, 3>{proc, cookie, item},
                    [](const std::array<ItemPtr, 3>& nodes) -> ItemPtr {
                        if (!nodes[0] || !nodes[1] || !FitsOneLevelDown(nodes[0]) || !FitsOneLevelDown(nodes[1]) ||
                            !FitsOneLevelDown(nodes[2]))
                            return nullptr;
                        ItemPtr answer = ItemNode::MakeAssoc();
                        answer->Set("proc", nodes[0]);
                        answer->Set("cookie", nodes[1]);
                        if (nodes[2])
                            answer->Set("result", nodes[2]);
                        return answer;
                    });
    });
}

RUX_API int32_t RuxQuery(RuxService service, int32_t, RuxItem proc, RuxItem arg, RuxItem cookie,
                         const char* replySink, const char* replyService)
{
    return RunCall<int32_t>(0, [&](Library& library) -> int32_t {
        if (!SinkName::Valid(replySink) || !SinkName::Valid(replyService))
            return Fail(0, ERROR_INVALID_NAME);
        return Send(library, service, FrameKind::Query, std::array<RuxItem, 3>{proc, arg, cookie},
                    [&](const std::array<ItemPtr, 3>& nodes) -> ItemPtr {
                        if (!nodes[0] || !nodes[2] || !FitsOneLevelDown(nodes[0]) || !FitsOneLevelDown(nodes[1]) ||
                            !FitsOneLevelDown(nodes[2]))
                            return nullptr;
                        ItemPtr query = ItemNode::MakeAssoc();
                        query->Set("proc", nodes[0]);
                        if (nodes[1])
                            query->Set("arg", nodes[1]);
                        query->Set("service", ItemNode::MakeString(replyService));
                        query->Set("source", ItemNode::MakeString(replySink));
                        query->Set("cookie", nodes[2]);
                        return query;
                    });
    });
}

RUX_API int32_t RuxAdvise(RuxService service, int32_t, RuxItem item)
{
    return RunCall<int32_t>(0, [&](Library& library) {
        return Send(library, service, FrameKind::Advise, std::array<RuxItem, 1>{item}, Single);
    });
}

RUX_API int32_t RuxUpdate(RuxService service, int32_t, RuxItem item)
{
    return RunCall<int32_t>(0, [&](Library& library) {
        return Send(library, service, FrameKind::Update, std::array<RuxItem, 1>{item}, Single);
    });
}

RUX_API int32_t RuxCall(RuxService service, int32_t, RuxItem item, int32_t)
{
    return RunCall<int32_t>(0, [&](Library& library) {
        return Send(library, service, FrameKind::Call, std::array<RuxItem, 1>{item}, Single);
    });
}

RUX_API int32_t RuxIsConnected(RuxConnection connection)
{
    return RunCall<int32_t>(0, [&](Library& library) {
        auto owner = library.Find<Connection>(Raw(connection), HandleKind::Connection);
        return owner && !owner->Broken() ? 1 : 0;
    });
}

RUX_API int32_t RuxGetCallSender(RuxService service, RuxCallSender* sender)
{
    return RunCall<int32_t>(AccessFailed, [&](Library& library) -> int32_t {
        CallSender known;
        if (!sender || !library.PoppedSender(Raw(service), known))
            return AccessFailed;
        static_assert(sizeof(RuxCallSender::user) == SECURITY_MAX_SID_SIZE, "room for any SID");
        RuxCallSender copy{};
        copy.process = known.process;
        copy.session = known.session;
        if (!known.user.Empty() && known.user.Length() <= sizeof copy.user) {
            copy.userBytes = known.user.Length();
            std::memcpy(copy.user, known.user.Get(), copy.userBytes);
        }
        *sender = copy;
        return 0;
    });
}

RUX_API RuxConnection RuxOpenExchange(const char* sinkName, const RuxExchange* exchange)
{
    return RunCall<RuxConnection>(nullptr, [&](Library& library) -> RuxConnection {
        if (!SinkName::Valid(sinkName))
            return Fail<RuxConnection>(nullptr, ERROR_INVALID_NAME);
        if (!exchange || exchange->timeoutMs == 0 || exchange->timeoutMs > MaxExchangeTimeoutMs)
            return Fail<RuxConnection>(nullptr, ERROR_INVALID_PARAMETER);
        if (!library.Initialised())
            return Fail<RuxConnection>(nullptr, ERROR_NOT_READY);
        CallSender server;
        ExchangeLimits limits;
        limits.timeoutMs = exchange->timeoutMs;
        limits.cancel = exchange->cancel;
        if (const RuxCallSender* wanted = exchange->server) {
            // A SID of exactly the length given, or the bounds are refused.
            server.user = wanted->userBytes <= sizeof wanted->user
                              ? Sid::Copy(const_cast<uint8_t*>(wanted->user))
                              : Sid();
            if (server.user.Empty() || server.user.Length() != wanted->userBytes)
                return Fail<RuxConnection>(nullptr, ERROR_INVALID_PARAMETER);
            server.process = wanted->process;
            server.session = wanted->session;
            limits.server = &server;
        }
        return OpenConnection(library, sinkName, false, std::string(), &limits);
    });
}

RUX_API int32_t RuxGetItemSize(RuxItem item, uint32_t* bytes)
{
    return RunCall<int32_t>(AccessFailed, [&](Library& library) -> int32_t {
        return bytes && library.ReadItem(Raw(item), [&](const ItemNode& node) {
            size_t size = node.HeapBytes();
            *bytes = size > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(size);
            return true;
        }) ? 0 : AccessFailed;
    });
}
