// The shared-value registry's table, and the sharing step's two halves with their common
// case (value_sharing off: the cycle check of a container being written) inline.
#pragma once

#include "encoder/writer.h"

namespace kelvo {

// Open addressing with linear probing, keyed by object identity (the address that id()
// returns). An entry with a share index holds a strong reference, so its identity cannot
// be reused by another object while it is registered. An entry without one lives only
// while its object's body is written, and the writer holds a reference to the object
// for that time; it keeps the address alone and is never dereferenced.
// The slots are raw memory: an empty table outlives its encoder as the thread's spare.
struct SharedRegistry {
    struct Slot {
        uint64_t id;
        PyObject *obj;   // nullptr: empty slot
        uint64_t index;  // kNoShareIndex: being written with value_sharing off
        bool owned() const { return index != kNoShareIndex; }
    };
    Slot *slots;
    size_t mask;
    size_t count;
};

// Addresses are spread over the tables by a Fibonacci multiplication of their 16-byte units.
constexpr uint64_t kAddressMultiplier = 0x9E3779B97F4A7C15ull;

inline size_t registry_slot_of(uint64_t id, size_t mask) {
    return static_cast<size_t>(((id >> 4) * kAddressMultiplier) >> 20) & mask;
}

// The whole of share_begin, for every case the inline part leaves (sharing.cpp).
int share_begin_general(Ctx &c, PyObject *obj, ShareScope &scope);
// Removes the entry of `scope` wherever it now is (sharing.cpp).
void registry_remove(EncoderObject *enc, const ShareScope &scope);

// The open set's home slot for an address, from the same product as the path's bit.
inline size_t open_slot_of(uint64_t product, size_t mask) { return static_cast<size_t>(product >> 20) & mask; }
// The product of an object's address that both are taken from.
inline uint64_t address_product(const PyObject *obj) {
    return (static_cast<uint64_t>(reinterpret_cast<uintptr_t>(obj)) >> 4) * kAddressMultiplier;
}
// The open set's home slot for an object.
inline size_t open_home(const PyObject *obj, size_t mask) { return open_slot_of(address_product(obj), mask); }
// Puts `obj` into the open set, growing it first when it has no room: the slot it took, or
// SIZE_MAX with the exception set (a cycle among the causes).
size_t open_set_insert(EncoderObject *enc, PyObject *obj);
// Takes `obj` out of the open set wherever it now is (sharing.cpp).
void open_set_remove(EncoderObject *enc, PyObject *obj);

constexpr uint32_t kPathSlots = sizeof(EncoderObject::path) / sizeof(PyObject *);

// The cycle check of a container written without value sharing. A container within the
// first eight levels of nesting goes into the encoder's path, searched only when its bit
// is set in the mask; deeper ones go into the open set. 1 entered (call open_end after
// the body), -1 with the exception set (a cycle among the causes). Window held.
[[gnu::always_inline]] inline int open_begin(EncoderObject *enc, PyObject *obj, OpenScope &scope) {
    uint64_t product = address_product(obj);
    uint64_t bit = uint64_t{1} << (product >> 58);
    if (enc->path_mask & bit) [[unlikely]] {
        for (uint32_t k = 0; k < enc->path_len; ++k)
            if (enc->path[k] == obj) return raise_cycle_error();
    }
    if (enc->open_count == 0 && enc->path_len < kPathSlots) {
        scope.in_path = true;
        scope.index = enc->path_len;
        scope.mark = enc->path_mask;
        enc->path[enc->path_len++] = obj;
        enc->path_mask |= bit;
    } else {
        size_t i;
        if (enc->open_count >= enc->open_limit) [[unlikely]] {
            i = open_set_insert(enc, obj);
            if (i == SIZE_MAX) return -1;
        } else {
            size_t mask = enc->open_mask;
            PyObject **slots = enc->open_slots;
            for (i = open_slot_of(product, mask); slots[i] != nullptr; i = (i + 1) & mask)
                if (slots[i] == obj) [[unlikely]]
                    return raise_cycle_error();
            slots[i] = obj;
            enc->open_count += 1;
        }
        scope.in_path = false;
        scope.index = i;
        // The table only grows while entries are open, each growth doubling it, and only
        // a growth moves entries: the same mask at the end means the entry is still here.
        scope.mark = enc->open_mask;
    }
    scope.saved_tag_base = enc->tag_base;
    enc->share_scopes += 1;
    enc->tag_base = enc->tag_len;
    return 1;
}

// Ends the step of `obj` begun by open_begin (window held).
[[gnu::always_inline]] inline void open_end(EncoderObject *enc, PyObject *obj, const OpenScope &scope) {
    enc->tag_base = scope.saved_tag_base;
    enc->share_scopes -= 1;
    if (scope.in_path) {
        // Entries above this one that are still there were left by steps that could not
        // end; they go with it.
        enc->path_len = static_cast<uint32_t>(scope.index);
        enc->path_mask = scope.mark;
        return;
    }
    if (enc->open_mask == scope.mark) [[likely]] {
        // Every entry made after this one is gone again (entries leave in the reverse
        // order of their arrival), so no probe run passes through this slot: it is
        // emptied in place, without shifting a run back.
        enc->open_slots[scope.index] = nullptr;
        enc->open_count -= 1;
        return;
    }
    open_set_remove(enc, obj);
}

// 1: write the body, then call share_end; 0: the value was seen before and a reference
// to it was written; -1 on error (a cycle without value_sharing among them). Window held.
// The registry keeps every entry made with value sharing on.
[[gnu::always_inline]] inline int share_begin(Ctx &c, PyObject *obj, ShareScope &scope) {
    if (!c.open()) return -1;
    EncoderObject *enc = c.enc;
    if (enc->value_sharing) [[unlikely]]
        return share_begin_general(c, obj, scope);
    scope.sharing = false;
    scope.in_registry = false;
    scope.id = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(obj));
    return open_begin(enc, obj, scope.open);
}

// Ends the step whose body has been written (or has failed). -1 when the window cannot
// be had again.
[[gnu::always_inline]] inline int share_end(Ctx &c, const ShareScope &scope) {
    if (!c.reopen_for_cleanup()) return -1;
    EncoderObject *enc = c.enc;
    if (!scope.in_registry) {
        open_end(enc, reinterpret_cast<PyObject *>(scope.id), scope.open);
        return 0;
    }
    enc->tag_base = scope.open.saved_tag_base;
    enc->share_scopes -= 1;
    if (scope.sharing) return 0;
    SharedRegistry *r = enc->registry;
    if (r != nullptr && r->slots == scope.slots && r->count == scope.count && r->slots[scope.slot].id == scope.id)
        [[likely]] {
        // Entries of containers being written leave in the reverse order of their
        // arrival, so no probe run passes through this slot: it is emptied in place.
        // (An empty slot's id is 0, never an address.)
        r->slots[scope.slot] = {0, nullptr, 0};
        r->count -= 1;
        return 0;
    }
    registry_remove(enc, scope);
    return 0;
}

}  // namespace kelvo
