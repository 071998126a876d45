// The process-wide state of the messaging library: the handle table with the
// items it holds, and the count of RuxInit calls. One mutex guards both; it is
// never held while a pipe is written or a thread joined.
//
// Lock order: a service's popLock, then Library::mutex, then a sink's or
// service's own mutex. Library::mutex is never held while taking a popLock.
#pragma once

#include "rux/Connection.h"
#include "rux/HandleTable.h"
#include "rux/ItemNode.h"
#include "rux/Sink.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace rux {

// An item handle. A root is an item the application built or RuxPopCall handed
// out; every item read out of it is a derived handle listed in `derived`, so
// that it goes with its root at the latest.
struct ItemEntry {
    ItemPtr node;
    uint64_t root = 0;  // 0 for a root
    std::vector<uint64_t> derived;
    bool libraryOwned = false;  // a popped call: RuxReleaseItem leaves it alone
};

// A service of one of our sinks (RuxStartService).
struct StartedService {
    std::shared_ptr<Sink> sink;
    std::shared_ptr<SinkService> service;
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

    std::mutex mutex;
    HandleTable table;
    int initCount = 0;

    // Expects `mutex` to be held.
    template <class T>
    std::shared_ptr<T> Find(uint64_t handle, HandleKind kind)
    {
        return std::static_pointer_cast<T>(table.Find(handle, kind));
    }

    // Takes `mutex` for the look-up only; the object stays alive through the
    // returned owner after the lock is released.
    template <class T>
    std::shared_ptr<T> FindLocked(uint64_t handle, HandleKind kind)
    {
        std::lock_guard<std::mutex> hold(mutex);
        return Find<T>(handle, kind);
    }

    // The helpers below expect `mutex` to be held.
    uint64_t AddRootItem(ItemPtr node, bool libraryOwned);
    // A handle to `node`, read out of the item `from`, tied to its root.
    uint64_t Derive(uint64_t from, ItemPtr node);
    ItemEntry* FindItem(uint64_t handle);
    // Frees the handle and, for a root, everything derived from it. A popped
    // call is freed only when `byLibrary`.
    void ReleaseItem(uint64_t handle, bool byLibrary);

private:
    Library();
};

}  // namespace rux
