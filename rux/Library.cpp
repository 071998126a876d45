#include "rux/Library.h"

#include "rux/item/ItemCodec.h"

#include "contracts/RuxApi.h"

#include <windows.h>

#include <algorithm>

namespace rux {
Library::Library() : table_(GetCurrentProcessId() * 2654435761u ^ GetTickCount()) {}

Library& Library::Get()
{
    static Library* const instance = new Library();
    return *instance;
}

int32_t Library::Init()
{
    MutexHolder hold(mutex_);
    return ++initCount_;
}

int32_t Library::Exit(Endpoints& stop)
{
    MutexHolder hold(mutex_);
    if (initCount_ == 0)
        return 0;
    if (initCount_ > 1)
        return --initCount_;
    // The last user is gone: everything that still runs is stopped, and its
    // handles go stale. Everything that may fail to allocate comes before the
    // first change.
    std::vector<uint64_t> sinks = table_.Handles(HandleKind::Sink);
    std::vector<uint64_t> connections = table_.Handles(HandleKind::Connection);
    std::vector<uint64_t> links = table_.Handles(HandleKind::OpenedService);
    std::vector<uint64_t> services = table_.Handles(HandleKind::StartedService);
    stop.sinks.reserve(sinks.size());
    stop.connections.reserve(connections.size() + links.size());
    stop.services.reserve(services.size());
    initCount_ = 0;
    for (uint64_t handle : sinks)
        stop.sinks.push_back(std::static_pointer_cast<Sink>(table_.Remove(handle, HandleKind::Sink)));
    for (uint64_t handle : connections)
        stop.connections.push_back(std::static_pointer_cast<Connection>(table_.Remove(handle, HandleKind::Connection)));
    // A link may hold the last owner of its connection: that one is closed
    // outside the lock too.
    for (uint64_t handle : links) {
        auto link = std::static_pointer_cast<ServiceLink>(table_.Remove(handle, HandleKind::OpenedService));
        stop.connections.push_back(link->connection);
    }
    for (uint64_t handle : services) {
        auto started = std::static_pointer_cast<StartedService>(table_.Remove(handle, HandleKind::StartedService));
        ReleaseLocked(started->popped, true);
        started->popped = 0;
        started->poppedSender.reset();
        stop.services.push_back(std::move(started));
    }
    return 0;
}

bool Library::Initialised()
{
    MutexHolder hold(mutex_);
    return initCount_ > 0;
}

uint64_t Library::Add(HandleKind kind, std::shared_ptr<void> object)
{
    MutexHolder hold(mutex_);
    return table_.Add(kind, std::move(object));
}

std::shared_ptr<StartedService> Library::RemoveStartedService(uint64_t handle)
{
    MutexHolder hold(mutex_);
    auto started = std::static_pointer_cast<StartedService>(table_.Remove(handle, HandleKind::StartedService));
    if (started) {
        ReleaseLocked(started->popped, true);
        started->popped = 0;
        started->poppedSender.reset();
    }
    return started;
}

bool Library::Pop(uint64_t service, int32_t& kind, uint64_t& call)
{
    auto entry = std::make_shared<ItemEntry>();
    entry->libraryOwned = true;
    MutexHolder hold(mutex_);
    auto started = std::static_pointer_cast<StartedService>(table_.Find(service, HandleKind::StartedService));
    if (!started)
        return false;
    // Room for the handle before the message leaves its queue, so that it
    // cannot be lost to a failed allocation.
    table_.ReserveOne();
    QueuedMessage message;
    bool taken = started->service->TakeNext(message);
    // The previous call goes now: it was valid until this pop.
    ReleaseLocked(started->popped, true);
    started->popped = 0;
    started->poppedSender.reset();
    if (!taken) {
        kind = RuxResult_Empty;
        return true;
    }
    entry->node = std::move(message.item);
    started->popped = table_.Add(HandleKind::Item, std::move(entry));
    started->poppedSender = std::move(message.sender);
    kind = message.kind;
    call = started->popped;
    return true;
}

bool Library::PoppedSender(uint64_t service, CallSender& sender)
{
    std::shared_ptr<const CallSender> known;
    {
        MutexHolder hold(mutex_);
        auto started = std::static_pointer_cast<StartedService>(table_.Find(service, HandleKind::StartedService));
        if (!started || !started->popped || !started->poppedSender)
            return false;
        known = started->poppedSender;
    }
    // Copied unlocked: the sender never changes once shared.
    sender = *known;
    return true;
}

uint64_t Library::AddItem(ItemPtr node)
{
    MutexHolder hold(mutex_);
    return AddRootLocked(std::move(node), false);
}

void Library::ReleaseItem(uint64_t handle)
{
    MutexHolder hold(mutex_);
    ReleaseLocked(handle, false);
}

uint64_t Library::DeriveMember(uint64_t item, std::string_view key)
{
    MutexHolder hold(mutex_);
    ItemEntry* entry = FindItemLocked(item);
    if (!entry || entry->node->type != ItemType::Assoc)
        return 0;
    ItemPtr value = entry->node->Find(key);
    return value ? DeriveLocked(item, std::move(value)) : 0;
}

uint64_t Library::DeriveKey(uint64_t item, size_t index)
{
    MutexHolder hold(mutex_);
    ItemEntry* entry = FindItemLocked(item);
    if (!entry || entry->node->type != ItemType::Assoc || index >= entry->node->members.size())
        return 0;
    return DeriveLocked(item, entry->node->members[index].first);
}

uint64_t Library::DeriveValue(uint64_t item, uint64_t key)
{
    MutexHolder hold(mutex_);
    ItemEntry* entry = FindItemLocked(item);
    ItemEntry* keyEntry = FindItemLocked(key);
    if (!entry || !keyEntry || entry->node->type != ItemType::Assoc || keyEntry->node->type != ItemType::String)
        return 0;
    ItemPtr value = entry->node->Find(keyEntry->node->bytes);
    return value ? DeriveLocked(item, std::move(value)) : 0;
}

bool Library::AssocSet(uint64_t assoc, std::string_view key, uint64_t value)
{
    MutexHolder hold(mutex_);
    ItemEntry* target = FindItemLocked(assoc);
    ItemEntry* source = FindItemLocked(value);
    if (!target || !source || target->root || target->libraryOwned || target->node->type != ItemType::Assoc ||
        source->node->Depth() + 1 > MaxItemDepth)
        return false;
    return target->node->Set(key, source->node->Clone());
}

ItemEntry* Library::FindItemLocked(uint64_t handle)
{
    return static_cast<ItemEntry*>(table_.Find(handle, HandleKind::Item).get());
}

uint64_t Library::AddRootLocked(ItemPtr node, bool libraryOwned)
{
    auto entry = std::make_shared<ItemEntry>();
    entry->node = std::move(node);
    entry->libraryOwned = libraryOwned;
    return table_.Add(HandleKind::Item, std::move(entry));
}

uint64_t Library::DeriveLocked(uint64_t from, ItemPtr node)
{
    ItemEntry* source = FindItemLocked(from);
    if (!source)
        return 0;
    uint64_t root = source->root ? source->root : from;
    ItemEntry* rootEntry = FindItemLocked(root);
    if (!rootEntry)
        return 0;
    auto entry = std::make_shared<ItemEntry>();
    entry->node = std::move(node);
    entry->root = root;
    // Room for the new handle first, grown by doubling: the push_back below
    // cannot fail once the handle exists.
    auto& list = rootEntry->derived;
    if (list.size() == list.capacity())
        list.reserve(std::max<size_t>(8, list.capacity() * 2));
    entry->slotInRoot = list.size();
    uint64_t handle = table_.Add(HandleKind::Item, std::move(entry));
    list.push_back(handle);
    return handle;
}

void Library::ReleaseLocked(uint64_t handle, bool byLibrary)
{
    ItemEntry* entry = FindItemLocked(handle);
    if (!entry)
        return;
    if (entry->root) {
        // Out of its root's list in constant time: the last one takes its slot.
        if (ItemEntry* root = FindItemLocked(entry->root)) {
            auto& list = root->derived;
            size_t slot = entry->slotInRoot;
            if (slot < list.size() && list[slot] == handle) {
                list[slot] = list.back();
                list.pop_back();
                if (slot < list.size()) {
                    if (ItemEntry* moved = FindItemLocked(list[slot]))
                        moved->slotInRoot = slot;
                }
            }
        }
        table_.Remove(handle, HandleKind::Item);
        return;
    }
    if (entry->libraryOwned && !byLibrary)
        return;
    for (uint64_t derived : entry->derived)
        table_.Remove(derived, HandleKind::Item);
    table_.Remove(handle, HandleKind::Item);
}

void Library::EncodeLocked(const ItemNode& item, std::string& body)
{
    ItemCodec::Encode(item, body);
}

}  // namespace rux
