#include "rux/Library.h"

#include <windows.h>

#include <algorithm>

namespace rux {

Library::Library() : table(GetCurrentProcessId() * 2654435761u ^ GetTickCount()) {}

Library& Library::Get()
{
    static Library* const instance = new Library();
    return *instance;
}

uint64_t Library::AddRootItem(ItemPtr node, bool libraryOwned)
{
    auto entry = std::make_shared<ItemEntry>();
    entry->node = std::move(node);
    entry->libraryOwned = libraryOwned;
    return table.Add(HandleKind::Item, std::move(entry));
}

ItemEntry* Library::FindItem(uint64_t handle)
{
    return static_cast<ItemEntry*>(table.Find(handle, HandleKind::Item).get());
}

uint64_t Library::Derive(uint64_t from, ItemPtr node)
{
    ItemEntry* source = FindItem(from);
    if (!source)
        return 0;
    uint64_t root = source->root ? source->root : from;
    ItemEntry* rootEntry = FindItem(root);
    if (!rootEntry)
        return 0;
    auto entry = std::make_shared<ItemEntry>();
    entry->node = std::move(node);
    entry->root = root;
    rootEntry->derived.reserve(rootEntry->derived.size() + 1);
    uint64_t handle = table.Add(HandleKind::Item, std::move(entry));
    rootEntry->derived.push_back(handle);
    return handle;
}

void Library::ReleaseItem(uint64_t handle, bool byLibrary)
{
    ItemEntry* entry = FindItem(handle);
    if (!entry)
        return;
    if (entry->root) {
        if (ItemEntry* root = FindItem(entry->root)) {
            auto& list = root->derived;
            auto found = std::find(list.begin(), list.end(), handle);
            if (found != list.end()) {
                *found = list.back();
                list.pop_back();
            }
        }
        table.Remove(handle, HandleKind::Item);
        return;
    }
    if (entry->libraryOwned && !byLibrary)
        return;
    for (uint64_t derived : entry->derived)
        table.Remove(derived, HandleKind::Item);
    table.Remove(handle, HandleKind::Item);
}

}  // namespace rux
