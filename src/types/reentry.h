// Per-thread re-entry guards: sets of object identities for operations that must not
// run again on the same object further down the same thread's call stack (printing,
// hashing or comparing a value that contains itself). The sets hold addresses only,
// never references, and belong to the thread that uses them.
#pragma once

#include "lib/pyref.h"

namespace kelvo {

enum class GuardSet : int {
    tag_print,       // CBORTag repr
    tag_check,       // CBORTag hash and comparison
    frozendict_hash  // frozendict hash
};

class ReentryGuard {
public:
    ReentryGuard() = default;
    ReentryGuard(const ReentryGuard &) = delete;
    ReentryGuard &operator=(const ReentryGuard &) = delete;
    ~ReentryGuard();

    // 1: `obj` entered the set; 0: `obj` is already in it (this thread is inside the same
    // operation on it); -1: MemoryError set. Leaving happens when the guard is destroyed.
    int enter(GuardSet set, const void *obj);

private:
    GuardSet set_ = GuardSet::tag_print;
    const void *obj_ = nullptr;
};

}  // namespace kelvo
