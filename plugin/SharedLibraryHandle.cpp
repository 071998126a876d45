#include "plugin/SharedLibraryHandle.h"

SharedLibraryHandle::SharedLibraryHandle() : record(new Record{nullptr, 1}) {}

SharedLibraryHandle::~SharedLibraryHandle()
{
    Drop(record);
}

SharedLibraryHandle::SharedLibraryHandle(const SharedLibraryHandle& other) noexcept : record(other.record)
{
    record->references.fetch_add(1, std::memory_order_relaxed);
}

SharedLibraryHandle& SharedLibraryHandle::operator=(const SharedLibraryHandle& other) noexcept
{
    // Count the new record first, so that assigning an owner to itself (or to
    // another owner of the same record) never frees it on the way.
    other.record->references.fetch_add(1, std::memory_order_relaxed);
    Drop(record);
    record = other.record;
    return *this;
}

void SharedLibraryHandle::Reset(HMODULE module)
{
    Record* fresh = nullptr;
    try {
        fresh = new Record{module, 1};
    } catch (...) {
        Record orphan{module, 1};
        Drop(&orphan, false);
        throw;
    }
    Drop(record);
    record = fresh;
}

void SharedLibraryHandle::Drop(Record* record, bool owned) noexcept
{
    if (record->references.fetch_sub(1, std::memory_order_acq_rel) - 1 >= 1)
        return;
    if (record->module && record->module != LoadFailed()) {
        DWORD savedError = GetLastError();
        FreeLibrary(record->module);
        SetLastError(savedError);
    }
    if (owned)
        delete record;
}
