// One value of the messaging library: a string, blob, bool, int32 or an
// associative list of string keys to values. Nodes are shared between the
// handles that refer to them and are never changed once another holder can see
// them (RuxAssocSet copies what it stores).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace rux {

// Type codes as RuxGetType reports them. The first four are fixed by the
// callers; Int32 is ours.
enum class ItemType : int32_t {
    Blob = 2,
    Bool = 3,
    Int32 = 4,
    String = 9,
    Assoc = 14,
};

// An associative item cannot hold more members than RuxGetLen can count.
constexpr size_t MaxAssocMembers = 0xFFFF;
// Nesting deeper than this is refused when building and decoding, so that a
// hostile frame cannot exhaust the stack of the thread that reads it.
constexpr int MaxItemDepth = 32;

struct ItemNode;
using ItemPtr = std::shared_ptr<ItemNode>;

struct ItemNode {
    ItemType type = ItemType::String;
    std::string bytes;   // String and Blob
    int32_t number = 0;  // Bool (0/1) and Int32
    std::vector<std::pair<ItemPtr, ItemPtr>> members;  // Assoc: key (String) -> value

    static ItemPtr MakeString(std::string text);
    static ItemPtr MakeBlob(std::string data);
    static ItemPtr MakeBool(bool value);
    static ItemPtr MakeInt(int32_t value);
    static ItemPtr MakeAssoc();

    // The value stored under `key`, or null.
    ItemPtr Find(const std::string& key) const;
    // Adds or replaces a member; false when the list is full.
    bool Set(const std::string& key, ItemPtr value);
    // A deep copy: the result shares nothing with this node.
    ItemPtr Clone() const;
};

}  // namespace rux
