// Growth of the encoder's open-addressing tables (linear probing, power-of-two sizes).
#pragma once

#include "lib/pyref.h"

#include <type_traits>

namespace kelvo {

// Doubles `t` (`first` slots, a power of two, when it has none yet) and puts every entry back. `Table` has
// `slots` and `mask`; `empty(slot)` tells a free slot, `home(slot, mask)` its first probe
// position. Returns -1 with MemoryError. With `Raw` the slots are raw-allocator memory.
template <bool Raw = false, class Table, class Empty, class Home>
int grow_probe_table(Table *t, Empty empty, Home home, size_t first = 16) {
    using Slot = std::remove_pointer_t<decltype(t->slots)>;
    size_t cap = t->slots == nullptr ? first : (t->mask + 1) * 2;
    auto *slots = static_cast<Slot *>(Raw ? PyMem_RawCalloc(cap, sizeof(Slot)) : PyMem_Calloc(cap, sizeof(Slot)));
    if (slots == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    size_t mask = cap - 1;
    if (t->slots != nullptr) {
        for (size_t i = 0; i <= t->mask; ++i) {
            const Slot &s = t->slots[i];
            if (empty(s)) continue;
            size_t j = home(s, mask);
            while (!empty(slots[j])) j = (j + 1) & mask;
            slots[j] = s;
        }
        if constexpr (Raw)
            PyMem_RawFree(t->slots);
        else
            PyMem_Free(t->slots);
    }
    t->slots = slots;
    t->mask = mask;
    return 0;
}

}  // namespace kelvo
