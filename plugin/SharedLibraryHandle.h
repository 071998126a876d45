// Reference-counted owner of a library loaded with LoadLibraryW. Every owner
// points to one shared record of the module handle and a count; the owner
// that drops the last reference frees the library.
//
//   record's module | meaning                   | freed by the last owner
//   ----------------+---------------------------+------------------------
//   null            | not loaded yet (creation) | nothing
//   a module        | loaded                    | FreeLibrary
//   LoadFailed (-1) | loading failed for good   | nothing
//
// Freeing keeps the caller's last-error value. Not for concurrent use of one
// owner object; owners in different threads may share a record.
#pragma once

#include <windows.h>

#include <atomic>

class SharedLibraryHandle {
public:
    // All bits set: the load was tried and failed, and is not tried again.
    static HMODULE LoadFailed() noexcept { return reinterpret_cast<HMODULE>(~static_cast<ULONG_PTR>(0)); }

    // A new record that holds null with count 1. Throws std::bad_alloc.
    SharedLibraryHandle();
    virtual ~SharedLibraryHandle();

    SharedLibraryHandle(const SharedLibraryHandle& other) noexcept;
    SharedLibraryHandle& operator=(const SharedLibraryHandle& other) noexcept;

    HMODULE Get() const noexcept { return record->module; }

    // Drops this owner's reference to its record and installs a new record
    // that holds `module` with count 1; the owner takes over one reference to
    // the library. Throws std::bad_alloc after freeing `module`, with the
    // owner unchanged.
    void Reset(HMODULE module);

    // Owners of this record, this one included.
    long UseCount() const noexcept { return record->references.load(std::memory_order_relaxed); }

private:
    struct Record {
        HMODULE module;
        std::atomic<long> references;
    };

    // Counts one reference off; the last frees the library, and the record
    // itself when it was allocated (`owned`).
    static void Drop(Record* record, bool owned = true) noexcept;

    Record* record;
};
