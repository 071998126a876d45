// One value of the messaging library: a string, blob, bool, int32 or an
// associative list of string keys to values. Nodes are shared between the
// handles that refer to them and are never changed once another holder can see
// them (RuxAssocSet copies what it stores).
//
// An associative node keeps its members in insertion order (RuxGetNthKey
// counts in that order) and, beside them, `keyOrder`: the member indices
// sorted by key, so that a look-up by key is a binary search whatever the
// sender chose. Keys are distinct: decoding and RuxBuildItem refuse an item
// with a repeated key, and Set replaces the member of an existing key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
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
    using Member = std::pair<ItemPtr, ItemPtr>;  // key (String) -> value

    ItemType type = ItemType::String;
    std::string bytes;   // String and Blob
    int32_t number = 0;  // Bool (0/1) and Int32
    std::vector<Member> members;     // Assoc, in insertion order
    std::vector<uint32_t> keyOrder;  // Assoc: indices into `members`, sorted by key

    static ItemPtr MakeString(std::string text);
    static ItemPtr MakeBlob(std::string data);
    static ItemPtr MakeBool(bool value);
    static ItemPtr MakeInt(int32_t value);
    static ItemPtr MakeAssoc();

    // The value stored under `key`, or null. O(log n).
    ItemPtr Find(std::string_view key) const;
    // Adds or replaces a member, keeping the index; false when the list is
    // full. O(n): for items the application builds one member at a time.
    bool Set(std::string_view key, ItemPtr value);
    // Builds `keyOrder` for members appended to `members` directly (decoding,
    // formats). False when two members have the same key. O(n log n).
    bool IndexKeys();
    // A deep copy: the result shares nothing with this node.
    ItemPtr Clone() const;
    // The levels of nesting: 1 for a value that is not associative (and an
    // empty list), one more than its deepest value for a list. What building
    // and decoding refuse above MaxItemDepth.
    int Depth() const;

    // Heap estimate: what a node and what it owns take from the heap, with
    // the allocator's header and rounding, counted the same way by the
    // decoder (before it allocates) and by the queues that hold items.
    static size_t AllocationBytes(size_t requested);
    // The node with its shared-pointer control block (one make_shared block).
    static size_t NodeHeapBytes();
    // The characters of a string or blob of `length` bytes beyond the
    // in-place buffer of std::string.
    static size_t TextHeapBytes(size_t length);
    // `members` and `keyOrder` of an associative node of `count` members.
    static size_t MembersHeapBytes(size_t count);
    // The estimate of this node and everything under it.
    size_t HeapBytes() const;
};

}  // namespace rux
