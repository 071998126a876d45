// What the fuzz targets share: a property check that aborts (so that libFuzzer
// keeps the input as a crash and the run fails) and the structural comparison
// of items.
#pragma once

#include "rux/item/ItemNode.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

[[noreturn]] inline void Violation(const char* file, int line, const char* condition, const char* what)
{
    std::fprintf(stderr, "==fuzz== property violated at %s:%d: %s\n==fuzz== failed check: %s\n", file, line, what,
                 condition);
    std::fflush(stderr);
    std::abort();
}

// Two items are equal when they have the same type, the same payload fields and
// equal members in the same order. Every field is compared, also those that the
// type does not use: a decoder that leaves garbage there is caught too.
inline bool SameItem(const rux::ItemNode& a, const rux::ItemNode& b)
{
    if (a.type != b.type || a.bytes != b.bytes || a.number != b.number || a.members.size() != b.members.size())
        return false;
    for (size_t i = 0; i < a.members.size(); ++i) {
        const auto& [keyA, valueA] = a.members[i];
        const auto& [keyB, valueB] = b.members[i];
        if (!keyA || !valueA || !keyB || !valueB)
            return false;
        if (!SameItem(*keyA, *keyB) || !SameItem(*valueA, *valueB))
            return false;
    }
    return true;
}

inline bool SameItem(const rux::ItemPtr& a, const rux::ItemPtr& b)
{
    if (!a || !b)
        return !a && !b;
    return SameItem(*a, *b);
}

}  // namespace fuzz

// FUZZ_CHECK(condition, "what the property says"): aborts with both when the
// condition is false. Never compiled out.
#define FUZZ_CHECK(condition, what)                                  \
    do {                                                             \
        if (!(condition))                                            \
            ::fuzz::Violation(__FILE__, __LINE__, #condition, what); \
    } while (0)
