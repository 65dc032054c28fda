#include "types/reentry.h"

#include <cstdint>
#include <cstring>

namespace kelvo {

namespace {

// An open-addressing set of addresses (linear probing, backward-shift deletion). Its
// storage comes from the raw allocator because it is released at thread exit, when the
// thread may no longer be attached to the interpreter.
class IdentitySet {
public:
    IdentitySet() = default;
    IdentitySet(const IdentitySet &) = delete;
    IdentitySet &operator=(const IdentitySet &) = delete;
    ~IdentitySet() { PyMem_RawFree(slots_); }

    int insert(const void *p) {
        if ((count_ + 1) * 2 > capacity_ && grow() < 0) return -1;
        size_t i = find_slot(p);
        if (slots_[i] == p) return 0;
        slots_[i] = p;
        ++count_;
        return 1;
    }

    void remove(const void *p) noexcept {
        if (count_ == 0) return;
        size_t mask = capacity_ - 1;
        size_t i = find_slot(p);
        if (slots_[i] != p) return;
        // Shift later members of the probe run back so that no lookup stops early.
        size_t j = i;
        for (;;) {
            j = (j + 1) & mask;
            if (slots_[j] == nullptr) break;
            size_t home = home_of(slots_[j]);
            bool movable = (i <= j) ? (home <= i || home > j) : (home <= i && home > j);
            if (movable) {
                slots_[i] = slots_[j];
                i = j;
            }
        }
        slots_[i] = nullptr;
        --count_;
    }

private:
    size_t home_of(const void *p) const noexcept {
        uint64_t h = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p)) * 0x9E3779B97F4A7C15ULL;
        return static_cast<size_t>(h >> 32) & (capacity_ - 1);
    }
    // The slot holding `p`, or the empty slot where it would go.
    size_t find_slot(const void *p) const noexcept {
        size_t mask = capacity_ - 1;
        size_t i = home_of(p);
        while (slots_[i] != nullptr && slots_[i] != p) i = (i + 1) & mask;
        return i;
    }
    int grow() {
        size_t new_cap = capacity_ == 0 ? 16 : capacity_ * 2;
        auto *fresh = static_cast<const void **>(PyMem_RawCalloc(new_cap, sizeof(void *)));
        if (fresh == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        const void **old = slots_;
        size_t old_cap = capacity_;
        slots_ = fresh;
        capacity_ = new_cap;
        for (size_t k = 0; k < old_cap; ++k)
            if (old[k] != nullptr) slots_[find_slot(old[k])] = old[k];
        PyMem_RawFree(old);
        return 0;
    }

    const void **slots_ = nullptr;
    size_t capacity_ = 0;
    size_t count_ = 0;
};

struct ThreadGuards {
    IdentitySet sets[3];
};

thread_local ThreadGuards thread_guards;

IdentitySet &set_of(GuardSet which) { return thread_guards.sets[static_cast<int>(which)]; }

}  // namespace

int ReentryGuard::enter(GuardSet set, const void *obj) {
    int rc = set_of(set).insert(obj);
    if (rc == 1) {
        set_ = set;
        obj_ = obj;
    }
    return rc;
}

ReentryGuard::~ReentryGuard() {
    if (obj_ != nullptr) set_of(set_).remove(obj_);
}

}  // namespace kelvo
