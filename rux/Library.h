// The process-wide state of the messaging library: the handle table with the
// items it holds, and the count of RuxInit calls. One mutex guards them. It is
// private: only the operations below take it, each for its own length, and
// callers work unlocked on the shared owners they get back.
//
// Mutexes of the library, in the only orders in which they nest (a thread that
// holds one may take only one listed after it in the same chain):
//
//   1. Library::mutex_          handle table, items, popped calls, init count
//   2. SinkService::mutex_      a service's queue and pending signal; taken
//                               under 1 only by Pop
//
//   1. Connection::mutex_       one exchange at a time on a client connection,
//                               held across that exchange's pipe I/O (bounded
//                               by its time-out)
//   2. ClosedConnections::mutex_  the connections closed without waiting, or
//      IoEvents::mutex_         the kept I/O events (Connection.cpp), or
//      ConnectionWatch::mutex_  the watched pipes of idle connections; taken
//                               under 1 by a send, an open and a close
//
// Every other one is a leaf: no other mutex of the library is taken while it
// is held, and it is never taken under another.
//   Sink::mutex_                a sink's workers, services, listening count,
//                               admitted clients and numbered connections
//   SinkService::eventMutex_    the use and the close of a service's event
//   ServerUsers::mutex_         the users of known servers (PeerIdentity.cpp)
//   PipeSecurity::mutex_        a sink's pipe descriptor and the DACL it carries
//   TraceLimiter::mutex_        the count of one kind of trace line
//
// Besides these: no mutex of the library is held while the trace callback
// runs, a thread is joined or a sink's pipe is written. Trace keeps a count
// of callbacks in flight that RuxSetTraceProc waits for, so that call is
// never made under a mutex either. A service's byte budget is lock-free.
#pragma once

#include "base/Mutex.h"
#include "rux/client/Connection.h"
#include "rux/HandleTable.h"
#include "rux/item/ItemNode.h"
#include "rux/sink/Sink.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace rux {

// An item handle. A root is an item the application built or RuxPopCall handed
// out; every item read out of it is a derived handle listed in `derived`, so
// that it goes with its root at the latest.
struct ItemEntry {
    ItemPtr node;
    uint64_t root = 0;              // 0 for a root
    std::vector<uint64_t> derived;  // a root's derived handles, in no order
    size_t slotInRoot = 0;          // a derived handle's index in its root's `derived`
    bool libraryOwned = false;      // a popped call: RuxReleaseItem leaves it alone
};

// A service of one of our sinks (RuxStartService).
struct StartedService {
    std::shared_ptr<Sink> sink;
    std::shared_ptr<SinkService> service;
    uint64_t popped = 0;  // the call handed out last (Library's mutex)
    std::shared_ptr<const CallSender> poppedSender;  // who sent it (Library's mutex)
};

// A service reached through a connection (RuxOpenService).
struct ServiceLink {
    std::shared_ptr<Connection> connection;
    uint32_t id;
    std::string name;
};

class Library {
public:
    // Lives as long as the process: the library's threads may still run when
    // static destructors do, and only RuxExit may stop them.
    static Library& Get();

    // The counted RuxInit and RuxExit. The last Exit takes every endpoint
    // handle out of the table and frees the popped calls; the caller stops
    // what it gets in `stop`, unlocked.
    struct Endpoints {
        std::vector<std::shared_ptr<Connection>> connections;
        std::vector<std::shared_ptr<Sink>> sinks;
        std::vector<std::shared_ptr<StartedService>> services;
    };
    int32_t Init() OLV_EXCLUDES(mutex_);
    int32_t Exit(Endpoints& stop) OLV_EXCLUDES(mutex_);
    bool Initialised() OLV_EXCLUDES(mutex_);

    // Endpoint handles. Remove hands the object back, so that it is stopped
    // or destroyed after the lock is released.
    uint64_t Add(HandleKind kind, std::shared_ptr<void> object) OLV_EXCLUDES(mutex_);
    template <class T>
    std::shared_ptr<T> Find(uint64_t handle, HandleKind kind) OLV_EXCLUDES(mutex_)
    {
        MutexHolder hold(mutex_);
        return std::static_pointer_cast<T>(table_.Find(handle, kind));
    }
    template <class T>
    std::shared_ptr<T> Remove(uint64_t handle, HandleKind kind) OLV_EXCLUDES(mutex_)
    {
        MutexHolder hold(mutex_);
        return std::static_pointer_cast<T>(table_.Remove(handle, kind));
    }
    // Removes a started service's handle and frees its popped call.
    std::shared_ptr<StartedService> RemoveStartedService(uint64_t handle) OLV_EXCLUDES(mutex_);

    // RuxPopCall: frees the call popped last and hands out the next one.
    // False for an invalid handle; `kind` is RuxResult_Empty when nothing is
    // queued.
    bool Pop(uint64_t service, int32_t& kind, uint64_t& call) OLV_EXCLUDES(mutex_);
    // Who sent the call that Pop handed out last on `service`; false when
    // the handle is invalid or no call is out (none popped, or the queue was
    // found empty since), or when its sender is not known.
    bool PoppedSender(uint64_t service, CallSender& sender) OLV_EXCLUDES(mutex_);

    // Item handles. The Derive operations return 0 when the handle is not a
    // live item or has no such member.
    uint64_t AddItem(ItemPtr node) OLV_EXCLUDES(mutex_);
    void ReleaseItem(uint64_t handle) OLV_EXCLUDES(mutex_);
    // Calls `read(const ItemNode&)` under the lock; false for a dead handle,
    // else what `read` returns.
    template <class F>
    bool ReadItem(uint64_t handle, F&& read) OLV_EXCLUDES(mutex_)
    {
        MutexHolder hold(mutex_);
        ItemEntry* entry = FindItemLocked(handle);
        return entry && read(static_cast<const ItemNode&>(*entry->node));
    }
    uint64_t DeriveMember(uint64_t item, std::string_view key) OLV_EXCLUDES(mutex_);
    uint64_t DeriveKey(uint64_t item, size_t index) OLV_EXCLUDES(mutex_);
    uint64_t DeriveValue(uint64_t item, uint64_t key) OLV_EXCLUDES(mutex_);
    // Stores a copy of `value` under `key` in an associative item the
    // application built. False when either handle does not qualify.
    bool AssocSet(uint64_t assoc, std::string_view key, uint64_t value) OLV_EXCLUDES(mutex_);
    // Encodes what `build(const std::array<ItemPtr, N>&)` makes of the nodes
    // of `handles` into `body`. A zero handle gives a null node; a dead
    // handle (`error` ERROR_INVALID_HANDLE), or `build` returning null
    // (ERROR_INVALID_PARAMETER), gives false.
    template <size_t N, class F>
    bool Encode(const std::array<uint64_t, N>& handles, F&& build, std::string& body, DWORD& error)
        OLV_EXCLUDES(mutex_)
    {
        MutexHolder hold(mutex_);
        std::array<ItemPtr, N> nodes;
        error = ERROR_INVALID_HANDLE;
        for (size_t i = 0; i < N; ++i) {
            ItemEntry* entry = handles[i] ? FindItemLocked(handles[i]) : nullptr;
            if (handles[i] && !entry)
                return false;
            if (entry)
                nodes[i] = entry->node;
        }
        ItemPtr item = build(static_cast<const std::array<ItemPtr, N>&>(nodes));
        error = ERROR_INVALID_PARAMETER;
        if (!item)
            return false;
        EncodeLocked(*item, body);
        return true;
    }

private:
    Library();
    ItemEntry* FindItemLocked(uint64_t handle) OLV_REQUIRES(mutex_);
    uint64_t AddRootLocked(ItemPtr node, bool libraryOwned) OLV_REQUIRES(mutex_);
    uint64_t DeriveLocked(uint64_t from, ItemPtr node) OLV_REQUIRES(mutex_);
    // Frees the handle and, for a root, everything derived from it. A popped
    // call is freed only when `byLibrary`.
    void ReleaseLocked(uint64_t handle, bool byLibrary) OLV_REQUIRES(mutex_);
    static void EncodeLocked(const ItemNode& item, std::string& body);

    Mutex mutex_;  // guards everything below
    HandleTable table_ OLV_GUARDED_BY(mutex_);
    int32_t initCount_ OLV_GUARDED_BY(mutex_) = 0;
};

}  // namespace rux
