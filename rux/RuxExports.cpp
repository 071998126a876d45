// The exported calls of Rux.dll. Each one checks its handles in the handle
// table, never lets an exception out, and reports failure as the contract
// says: null, 0 for "not delivered", non-zero for the accessors, and
// RuxResult_Empty for RuxPopCall.
#include "plugin/contracts/RuxApi.h"
#include "rux/RuxExtensions.h"

#include "rux/Connection.h"
#include "rux/ItemCodec.h"
#include "rux/ItemFormat.h"
#include "rux/Library.h"
#include "rux/Sink.h"
#include "rux/SinkName.h"
#include "rux/Trace.h"

#include <algorithm>
#include <cstdarg>
#include <functional>
#include <cstring>

using namespace rux;

namespace {

constexpr int32_t AccessFailed = -1;

uint64_t Raw(const void* handle)
{
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle));
}

template <class H>
H ToHandle(uint64_t value)
{
    return reinterpret_cast<H>(static_cast<uintptr_t>(value));
}

// Runs `body`, turning any exception (out of memory, mostly) into `failure`.
template <class R, class F>
R Guarded(R failure, F body)
{
    try {
        return body();
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return failure;
    }
}

bool Initialised(Library& library)
{
    std::lock_guard<std::mutex> hold(library.mutex);
    if (library.initCount > 0)
        return true;
    SetLastError(ERROR_NOT_READY);
    return false;
}

// The node of a live item handle, or null (mutex held).
ItemPtr NodeOf(Library& library, RuxItem item)
{
    ItemEntry* entry = library.FindItem(Raw(item));
    return entry ? entry->node : nullptr;
}

// Encodes `node` and posts it on an opened service. Non-zero when written.
int32_t Send(RuxService service, FrameKind kind, const std::function<ItemPtr(Library&)>& makeNode)
{
    return Guarded<int32_t>(0, [&]() -> int32_t {
        Library& library = Library::Get();
        std::shared_ptr<ServiceLink> link;
        std::string body;
        {
            std::lock_guard<std::mutex> hold(library.mutex);
            link = library.Find<ServiceLink>(Raw(service), HandleKind::OpenedService);
            ItemPtr node = link ? makeNode(library) : nullptr;
            if (!node) {
                SetLastError(ERROR_INVALID_HANDLE);
                return 0;
            }
            ItemCodec::Encode(*node, body);
        }
        return link->connection->Post(kind, link->id, body) ? 1 : 0;
    });
}

std::shared_ptr<Connection> OpenConnection(const char* sinkName, bool peer, const std::string& source)
{
    DWORD error = 0;
    auto connection = Connection::Open(sinkName, peer, source, error);
    if (!connection) {
        Trace::Line("Rux: cannot connect to sink '%s' (error %lu)", sinkName, error);
        SetLastError(error);
    }
    return connection;
}

int Depth(const ItemNode& node)
{
    int depth = 0;
    for (const auto& [key, value] : node.members)
        depth = std::max(depth, Depth(*value));
    return depth + 1;
}

}  // namespace

RUX_API int32_t RuxInit(void)
{
    Library& library = Library::Get();
    std::lock_guard<std::mutex> hold(library.mutex);
    return ++library.initCount;
}

RUX_API int32_t RuxExit(void)
{
    return Guarded<int32_t>(0, []() -> int32_t {
        Library& library = Library::Get();
        std::vector<std::shared_ptr<Sink>> sinks;
        std::vector<std::shared_ptr<Connection>> connections;
        std::vector<std::shared_ptr<StartedService>> services;
        {
            std::lock_guard<std::mutex> hold(library.mutex);
            if (library.initCount == 0)
                return 0;
            if (--library.initCount > 0)
                return library.initCount;
            // The last user is gone: everything that still runs is stopped, and
            // its handles go stale.
            for (uint64_t handle : library.table.Handles(HandleKind::Sink))
                sinks.push_back(std::static_pointer_cast<Sink>(library.table.Remove(handle, HandleKind::Sink)));
            for (uint64_t handle : library.table.Handles(HandleKind::Connection))
                connections.push_back(
                    std::static_pointer_cast<Connection>(library.table.Remove(handle, HandleKind::Connection)));
            for (uint64_t handle : library.table.Handles(HandleKind::OpenedService))
                library.table.Remove(handle, HandleKind::OpenedService);
            for (uint64_t handle : library.table.Handles(HandleKind::StartedService))
                services.push_back(std::static_pointer_cast<StartedService>(
                    library.table.Remove(handle, HandleKind::StartedService)));
        }
        for (auto& connection : connections)
            connection->Close();
        for (auto& sink : sinks)
            sink->Stop();
        for (auto& started : services) {
            std::lock_guard<std::mutex> pop(started->service->popLock);
            {
                std::lock_guard<std::mutex> hold(library.mutex);
                library.ReleaseItem(started->service->popped, true);
                started->service->popped = 0;
            }
            started->service->Stop();
        }
        return 0;
    });
}

RUX_API void RuxSetTraceProc(RuxTraceProcFn proc)
{
    Trace::Set(proc);
}

RUX_API RuxSink RuxStartSink(const char* name, HANDLE event)
{
    return Guarded<RuxSink>(nullptr, [&]() -> RuxSink {
        Library& library = Library::Get();
        if (!SinkName::Valid(name)) {
            SetLastError(ERROR_INVALID_NAME);
            return nullptr;
        }
        if (!Initialised(library))
            return nullptr;
        DWORD error = 0;
        auto sink = Sink::Start(name, event, error);
        if (!sink) {
            Trace::Line("Rux: cannot start sink '%s' (error %lu)", name, error);
            SetLastError(error);
            return nullptr;
        }
        std::lock_guard<std::mutex> hold(library.mutex);
        return ToHandle<RuxSink>(library.table.Add(HandleKind::Sink, sink));
    });
}

RUX_API RuxService RuxStartService(RuxSink sink, const char* name, HANDLE event)
{
    return Guarded<RuxService>(nullptr, [&]() -> RuxService {
        Library& library = Library::Get();
        if (!SinkName::Valid(name)) {
            SetLastError(ERROR_INVALID_NAME);
            return nullptr;
        }
        auto owner = library.FindLocked<Sink>(Raw(sink), HandleKind::Sink);
        DWORD error = ERROR_INVALID_HANDLE;
        auto service = owner ? owner->AddService(name, event, error) : nullptr;
        if (!service) {
            SetLastError(error);
            return nullptr;
        }
        auto started = std::make_shared<StartedService>(StartedService{owner, service});
        std::lock_guard<std::mutex> hold(library.mutex);
        return ToHandle<RuxService>(library.table.Add(HandleKind::StartedService, started));
    });
}

RUX_API void RuxStopService(RuxService service)
{
    Guarded<int>(0, [&]() -> int {
        Library& library = Library::Get();
        std::shared_ptr<StartedService> started;
        {
            std::lock_guard<std::mutex> hold(library.mutex);
            started = std::static_pointer_cast<StartedService>(
                library.table.Remove(Raw(service), HandleKind::StartedService));
        }
        if (!started)
            return 0;
        started->sink->RemoveService(started->service);
        std::lock_guard<std::mutex> pop(started->service->popLock);
        {
            std::lock_guard<std::mutex> hold(library.mutex);
            library.ReleaseItem(started->service->popped, true);
            started->service->popped = 0;
        }
        started->service->Stop();
        return 0;
    });
}

RUX_API void RuxStopSink(RuxSink sink)
{
    Guarded<int>(0, [&]() -> int {
        Library& library = Library::Get();
        std::shared_ptr<Sink> owner;
        {
            std::lock_guard<std::mutex> hold(library.mutex);
            owner = std::static_pointer_cast<Sink>(library.table.Remove(Raw(sink), HandleKind::Sink));
        }
        if (owner)
            owner->Stop();
        return 0;
    });
}

RUX_API RuxConnection RuxOpenPeer(RuxSink sink, const char* peerName)
{
    return Guarded<RuxConnection>(nullptr, [&]() -> RuxConnection {
        Library& library = Library::Get();
        if (!SinkName::Valid(peerName)) {
            SetLastError(ERROR_INVALID_NAME);
            return nullptr;
        }
        auto owner = library.FindLocked<Sink>(Raw(sink), HandleKind::Sink);
        if (!owner) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        auto connection = OpenConnection(peerName, true, owner->Name());
        if (!connection)
            return nullptr;
        std::lock_guard<std::mutex> hold(library.mutex);
        return ToHandle<RuxConnection>(library.table.Add(HandleKind::Connection, connection));
    });
}

RUX_API int32_t RuxEnsurePeer(RuxSink sink, const char* peerName, RuxConnection* peer)
{
    return Guarded<int32_t>(0, [&]() -> int32_t {
        if (!peer)
            return 0;
        Library& library = Library::Get();
        auto current = library.FindLocked<Connection>(Raw(*peer), HandleKind::Connection);
        if (current && !current->Broken())
            return 1;
        if (current) {
            {
                std::lock_guard<std::mutex> hold(library.mutex);
                library.table.Remove(Raw(*peer), HandleKind::Connection);
            }
            current->Close();
            Trace::Line("Rux: reopening the broken peer to sink '%s'", current->SinkName().c_str());
        }
        *peer = RuxOpenPeer(sink, peerName);
        return *peer ? 1 : 0;
    });
}

RUX_API RuxConnection RuxOpenConnection(const char* sinkName)
{
    return Guarded<RuxConnection>(nullptr, [&]() -> RuxConnection {
        Library& library = Library::Get();
        if (!SinkName::Valid(sinkName)) {
            SetLastError(ERROR_INVALID_NAME);
            return nullptr;
        }
        if (!Initialised(library))
            return nullptr;
        auto connection = OpenConnection(sinkName, false, std::string());
        if (!connection)
            return nullptr;
        std::lock_guard<std::mutex> hold(library.mutex);
        return ToHandle<RuxConnection>(library.table.Add(HandleKind::Connection, connection));
    });
}

RUX_API RuxService RuxOpenService(RuxConnection connection, const char* serviceName)
{
    return Guarded<RuxService>(nullptr, [&]() -> RuxService {
        Library& library = Library::Get();
        if (!SinkName::Valid(serviceName)) {
            SetLastError(ERROR_INVALID_NAME);
            return nullptr;
        }
        auto owner = library.FindLocked<Connection>(Raw(connection), HandleKind::Connection);
        if (!owner) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        int32_t status = 0;
        uint32_t id = 0;
        if (!owner->Request(FrameKind::OpenService, serviceName, status, id) || status != 0) {
            Trace::Line("Rux: sink '%s' has no service '%s'", owner->SinkName().c_str(), serviceName);
            SetLastError(status ? static_cast<DWORD>(status) : ERROR_BROKEN_PIPE);
            return nullptr;
        }
        auto link = std::make_shared<ServiceLink>(ServiceLink{owner, id, serviceName});
        std::lock_guard<std::mutex> hold(library.mutex);
        return ToHandle<RuxService>(library.table.Add(HandleKind::OpenedService, link));
    });
}

RUX_API void RuxCloseService(RuxService service)
{
    Library& library = Library::Get();
    std::lock_guard<std::mutex> hold(library.mutex);
    library.table.Remove(Raw(service), HandleKind::OpenedService);
}

RUX_API void RuxCloseConnection(RuxConnection connection)
{
    Guarded<int>(0, [&]() -> int {
        Library& library = Library::Get();
        std::shared_ptr<Connection> owner;
        {
            std::lock_guard<std::mutex> hold(library.mutex);
            owner = std::static_pointer_cast<Connection>(
                library.table.Remove(Raw(connection), HandleKind::Connection));
        }
        if (owner)
            owner->Close();
        return 0;
    });
}

RUX_API int32_t RuxPopCall(RuxService service, RuxItem* call)
{
    return Guarded<int32_t>(RuxResult_Empty, [&]() -> int32_t {
        Library& library = Library::Get();
        auto started = library.FindLocked<StartedService>(Raw(service), HandleKind::StartedService);
        if (!started || !call) {
            SetLastError(ERROR_INVALID_HANDLE);
            return RuxResult_Empty;
        }
        SinkService& queue = *started->service;
        std::lock_guard<std::mutex> pop(queue.popLock);
        QueuedMessage message;
        bool taken = queue.TakeNext(message);
        if (!taken) {
            // Connections lent to this thread: what they read is queued now,
            // and their next reads are issued with the service's event.
            queue.PumpLeases();
            taken = queue.TakeNext(message);
        }
        std::lock_guard<std::mutex> hold(library.mutex);
        // The previous call goes now: it was valid until this pop.
        library.ReleaseItem(queue.popped, true);
        queue.popped = 0;
        if (!taken)
            return RuxResult_Empty;
        queue.popped = library.AddRootItem(std::move(message.item), true);
        *call = ToHandle<RuxItem>(queue.popped);
        return message.kind;
    });
}

RUX_API int32_t RuxGetAssoc(RuxItem item, const char* key, RuxItem* member)
{
    return Guarded<int32_t>(AccessFailed, [&]() -> int32_t {
        Library& library = Library::Get();
        std::lock_guard<std::mutex> hold(library.mutex);
        ItemPtr node = NodeOf(library, item);
        if (!node || !key || !member || node->type != ItemType::Assoc)
            return AccessFailed;
        ItemPtr value = node->Find(key);
        uint64_t handle = value ? library.Derive(Raw(item), value) : 0;
        if (!handle)
            return AccessFailed;
        *member = ToHandle<RuxItem>(handle);
        return 0;
    });
}

RUX_API int32_t RuxGetType(RuxItem item, int32_t* type)
{
    Library& library = Library::Get();
    std::lock_guard<std::mutex> hold(library.mutex);
    ItemEntry* entry = library.FindItem(Raw(item));
    if (!entry || !type)
        return AccessFailed;
    *type = static_cast<int32_t>(entry->node->type);
    return 0;
}

RUX_API int32_t RuxGetLen(RuxItem item, uint16_t* length)
{
    Library& library = Library::Get();
    std::lock_guard<std::mutex> hold(library.mutex);
    ItemEntry* entry = library.FindItem(Raw(item));
    if (!entry || !length)
        return AccessFailed;
    const ItemNode& node = *entry->node;
    size_t count;
    if (node.type == ItemType::Assoc)
        count = node.members.size();
    else if (node.type == ItemType::String || node.type == ItemType::Blob)
        count = node.bytes.size();
    else
        return AccessFailed;
    if (count > 0xFFFF)
        return AccessFailed;
    *length = static_cast<uint16_t>(count);
    return 0;
}

RUX_API int32_t RuxGetNthKey(RuxItem item, uint16_t index, RuxItem* key)
{
    return Guarded<int32_t>(AccessFailed, [&]() -> int32_t {
        Library& library = Library::Get();
        std::lock_guard<std::mutex> hold(library.mutex);
        ItemPtr node = NodeOf(library, item);
        if (!node || !key || node->type != ItemType::Assoc || index >= node->members.size())
            return AccessFailed;
        uint64_t handle = library.Derive(Raw(item), node->members[index].first);
        if (!handle)
            return AccessFailed;
        *key = ToHandle<RuxItem>(handle);
        return 0;
    });
}

RUX_API int32_t RuxGetAt(RuxItem item, RuxItem key, RuxItem* value)
{
    return Guarded<int32_t>(AccessFailed, [&]() -> int32_t {
        Library& library = Library::Get();
        std::lock_guard<std::mutex> hold(library.mutex);
        ItemPtr node = NodeOf(library, item);
        ItemPtr keyNode = NodeOf(library, key);
        if (!node || !keyNode || !value || node->type != ItemType::Assoc || keyNode->type != ItemType::String)
            return AccessFailed;
        ItemPtr found = node->Find(keyNode->bytes);
        uint64_t handle = found ? library.Derive(Raw(item), found) : 0;
        if (!handle)
            return AccessFailed;
        *value = ToHandle<RuxItem>(handle);
        return 0;
    });
}

RUX_API int32_t RuxGetBool(RuxItem item, int32_t* value)
{
    Library& library = Library::Get();
    std::lock_guard<std::mutex> hold(library.mutex);
    ItemEntry* entry = library.FindItem(Raw(item));
    if (!entry || !value || (entry->node->type != ItemType::Bool && entry->node->type != ItemType::Int32))
        return AccessFailed;
    *value = entry->node->number != 0 ? 1 : 0;
    return 0;
}

RUX_API int32_t RuxGetInt(RuxItem item, int32_t* value)
{
    Library& library = Library::Get();
    std::lock_guard<std::mutex> hold(library.mutex);
    ItemEntry* entry = library.FindItem(Raw(item));
    if (!entry || !value || (entry->node->type != ItemType::Bool && entry->node->type != ItemType::Int32))
        return AccessFailed;
    *value = entry->node->number;
    return 0;
}

RUX_API int32_t RuxCopyStr(RuxItem item, char* buffer, uint32_t offset, uint32_t size)
{
    Library& library = Library::Get();
    std::lock_guard<std::mutex> hold(library.mutex);
    ItemEntry* entry = library.FindItem(Raw(item));
    if (!entry || !buffer || entry->node->type != ItemType::String)
        return AccessFailed;
    const std::string& text = entry->node->bytes;
    // The whole rest of the text and its terminator must fit: a cut text would
    // pass for a different command or name.
    if (offset > text.size() || text.size() - offset >= size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return AccessFailed;
    }
    std::memcpy(buffer, text.data() + offset, text.size() - offset);
    buffer[text.size() - offset] = '\0';
    return 0;
}

RUX_API int32_t RuxCopyBlob(RuxItem item, void* buffer, uint16_t* length, uint16_t capacity)
{
    Library& library = Library::Get();
    std::lock_guard<std::mutex> hold(library.mutex);
    ItemEntry* entry = library.FindItem(Raw(item));
    if (!entry || !length || entry->node->type != ItemType::Blob)
        return AccessFailed;
    const std::string& data = entry->node->bytes;
    if (data.size() > capacity || (!buffer && !data.empty())) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return AccessFailed;
    }
    if (!data.empty())
        std::memcpy(buffer, data.data(), data.size());
    *length = static_cast<uint16_t>(data.size());
    return 0;
}

RUX_API RuxItem RuxBuildItem(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    RuxItem item = Guarded<RuxItem>(nullptr, [&]() -> RuxItem {
        ItemPtr node = ItemFormat::Build(format, args);
        if (!node) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        Library& library = Library::Get();
        std::lock_guard<std::mutex> hold(library.mutex);
        return ToHandle<RuxItem>(library.AddRootItem(std::move(node), false));
    });
    va_end(args);
    return item;
}

RUX_API RuxItem RuxBuildBlob(const void* data, uint32_t length)
{
    return Guarded<RuxItem>(nullptr, [&]() -> RuxItem {
        if ((!data && length) || length > RuxMaxFrameBytes) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        ItemPtr node = ItemNode::MakeBlob(std::string(static_cast<const char*>(data), length));
        Library& library = Library::Get();
        std::lock_guard<std::mutex> hold(library.mutex);
        return ToHandle<RuxItem>(library.AddRootItem(std::move(node), false));
    });
}

RUX_API void RuxReleaseItem(RuxItem item)
{
    Library& library = Library::Get();
    std::lock_guard<std::mutex> hold(library.mutex);
    library.ReleaseItem(Raw(item), false);
}

RUX_API int32_t RuxAssocSet(RuxItem assoc, const char* key, RuxItem value)
{
    return Guarded<int32_t>(0, [&]() -> int32_t {
        Library& library = Library::Get();
        std::lock_guard<std::mutex> hold(library.mutex);
        ItemEntry* target = library.FindItem(Raw(assoc));
        ItemPtr valueNode = NodeOf(library, value);
        if (!target || !key || !valueNode || target->root || target->libraryOwned ||
            target->node->type != ItemType::Assoc) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        if (Depth(*valueNode) + 1 > MaxItemDepth)
            return 0;
        return target->node->Set(key, valueNode->Clone()) ? 1 : 0;
    });
}

RUX_API int32_t RuxReply(RuxService service, int32_t, RuxItem proc, RuxItem cookie, RuxItem item)
{
    return Send(service, FrameKind::Reply, [&](Library& library) -> ItemPtr {
        ItemPtr procNode = NodeOf(library, proc);
        ItemPtr cookieNode = NodeOf(library, cookie);
        ItemPtr result = NodeOf(library, item);
        if (!procNode || !cookieNode || (item && !result))
            return nullptr;
        ItemPtr answer = ItemNode::MakeAssoc();
        answer->Set("proc", procNode);
        answer->Set("cookie", cookieNode);
        if (result)
            answer->Set("result", result);
        return answer;
    });
}

RUX_API int32_t RuxQuery(RuxService service, int32_t, RuxItem proc, RuxItem arg, RuxItem cookie,
                         const char* replySink, const char* replyService)
{
    if (!SinkName::Valid(replySink) || !SinkName::Valid(replyService)) {
        SetLastError(ERROR_INVALID_NAME);
        return 0;
    }
    return Send(service, FrameKind::Query, [&](Library& library) -> ItemPtr {
        ItemPtr procNode = NodeOf(library, proc);
        ItemPtr argNode = NodeOf(library, arg);
        ItemPtr cookieNode = NodeOf(library, cookie);
        if (!procNode || !cookieNode || (arg && !argNode))
            return nullptr;
        ItemPtr query = ItemNode::MakeAssoc();
        query->Set("proc", procNode);
        if (argNode)
            query->Set("arg", argNode);
        query->Set("service", ItemNode::MakeString(replyService));
        query->Set("source", ItemNode::MakeString(replySink));
        query->Set("cookie", cookieNode);
        return query;
    });
}

RUX_API int32_t RuxAdvise(RuxService service, int32_t, RuxItem item)
{
    return Send(service, FrameKind::Advise, [&](Library& library) { return NodeOf(library, item); });
}

RUX_API int32_t RuxUpdate(RuxService service, int32_t, RuxItem item)
{
    return Send(service, FrameKind::Update, [&](Library& library) { return NodeOf(library, item); });
}

RUX_API int32_t RuxCall(RuxService service, int32_t, RuxItem item, int32_t)
{
    return Send(service, FrameKind::Call, [&](Library& library) { return NodeOf(library, item); });
}

RUX_API int32_t RuxIsConnected(RuxConnection connection)
{
    return Guarded<int32_t>(0, [&]() -> int32_t {
        Library& library = Library::Get();
        auto owner = library.FindLocked<Connection>(Raw(connection), HandleKind::Connection);
        return owner && !owner->Broken() ? 1 : 0;
    });
}
