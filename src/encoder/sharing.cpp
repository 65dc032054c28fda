// The shared-value registry: containers being written, and values marked as shared
// (tags 28 and 29). Also the module function shareable_encoder.
#include "encoder/probe_table.h"
#include "encoder/registry.h"

#include "lib/args.h"
#include "lib/cbor.h"

#include <cstring>
#include <utility>

namespace kelvo {

namespace {

// An empty table kept by each thread between encoders (one for the registry, one for the
// open set): dumps() makes a new encoder per call, which would otherwise grow its table
// from the first size each time (about ten doublings for a thousand nested containers).
// Freed when the thread exits.
template <class Slot>
struct SpareTable {
    Slot *slots = nullptr;
    size_t mask = 0;
    ~SpareTable() { PyMem_RawFree(slots); }

    // Keeps an emptied table (`empty`) as the spare when larger than the one here, frees it
    // otherwise; the owner's fields are left without a table either way.
    void keep(Slot *&table, size_t &table_mask, bool empty) noexcept {
        if (table != nullptr && empty && table_mask < kLimit && (slots == nullptr || table_mask > mask)) {
            PyMem_RawFree(slots);
            slots = table;
            mask = table_mask;
        } else {
            PyMem_RawFree(table);
        }
        table = nullptr;
        table_mask = 0;
    }

    static constexpr size_t kLimit = size_t{1} << 16;
};
thread_local SpareTable<SharedRegistry::Slot> t_spare_slots;

// Keeps the empty table of `r` as the thread's spare (when larger than the one there).
void spare_slots(SharedRegistry *r) noexcept {
    t_spare_slots.keep(r->slots, r->mask, r->count == 0);
    r->count = 0;
}

size_t slot_of(uint64_t id, size_t mask) { return registry_slot_of(id, mask); }

SharedRegistry::Slot *registry_find(SharedRegistry *r, uint64_t id) {
    if (r == nullptr) return nullptr;
    for (size_t i = slot_of(id, r->mask);; i = (i + 1) & r->mask) {
        SharedRegistry::Slot &s = r->slots[i];
        if (s.obj == nullptr) return nullptr;
        if (s.id == id) return &s;
    }
}

int registry_grow(SharedRegistry *r) {
    if (r->slots == nullptr && t_spare_slots.slots != nullptr) {
        r->slots = std::exchange(t_spare_slots.slots, nullptr);
        r->mask = std::exchange(t_spare_slots.mask, 0);
        return 0;
    }
    return grow_probe_table<true>(
        r, [](const SharedRegistry::Slot &s) { return s.obj == nullptr; },
        [](const SharedRegistry::Slot &s, size_t mask) { return slot_of(s.id, mask); });
}

// Makes room for one more entry, creating the registry when missing.
[[gnu::noinline]] int registry_reserve(EncoderObject *enc) {
    SharedRegistry *r = enc->registry;
    if (r == nullptr) {
        r = static_cast<SharedRegistry *>(PyMem_Calloc(1, sizeof(SharedRegistry)));
        if (r == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        enc->registry = r;
    }
    if (r->slots == nullptr || 2 * (r->count + 1) > r->mask + 1) return registry_grow(r);
    return 0;
}

// Removes the entry in slot `hole`, shifting later members of its probe run back into the
// gap.
void registry_remove_at(SharedRegistry *r, size_t hole) {
    PyObject *owned = r->slots[hole].owned() ? r->slots[hole].obj : nullptr;
    size_t i = hole;
    for (;;) {
        i = (i + 1) & r->mask;
        SharedRegistry::Slot &next = r->slots[i];
        if (next.obj == nullptr) break;
        size_t home = slot_of(next.id, r->mask);
        // Move `next` into the hole unless its home lies cyclically in (hole, i].
        bool stays = hole <= i ? (hole < home && home <= i) : (hole < home || home <= i);
        if (stays) continue;
        r->slots[hole] = next;
        hole = i;
    }
    r->slots[hole] = {0, nullptr, 0};
    r->count -= 1;
    Py_XDECREF(owned);
}

// The open set's table kept by each thread between encoders, for the same reason as the
// registry's spare slots: dumps() makes a new encoder per call.
thread_local SpareTable<PyObject *> t_spare_open;
constexpr size_t kOpenSetFirstSlots = 256;

// Doubles the open set (or gives it its first table) and puts its entries back.
[[gnu::noinline]] int open_set_grow(EncoderObject *enc) {
    if (enc->open_slots == nullptr && t_spare_open.slots != nullptr) {
        enc->open_slots = std::exchange(t_spare_open.slots, nullptr);
        enc->open_mask = std::exchange(t_spare_open.mask, 0);
        enc->open_limit = static_cast<uint32_t>((enc->open_mask + 1) / 2);
        if (enc->open_count < enc->open_limit) return 0;
    }
    // The table's own fields, seen as the slots and mask the shared growth works on.
    struct View {
        PyObject **slots;
        size_t mask;
    } view{enc->open_slots, enc->open_mask};
    if (grow_probe_table<true>(
            &view, [](PyObject *slot) { return slot == nullptr; },
            [](PyObject *slot, size_t mask) { return open_home(slot, mask); }, kOpenSetFirstSlots) < 0)
        return -1;
    enc->open_slots = view.slots;
    enc->open_mask = view.mask;
    enc->open_limit = static_cast<uint32_t>((view.mask + 1) / 2);
    return 0;
}

// The slot that holds `obj`, or SIZE_MAX.
size_t open_set_find(EncoderObject *enc, PyObject *obj) {
    if (enc->open_slots == nullptr) return SIZE_MAX;
    size_t mask = enc->open_mask;
    for (size_t i = open_home(obj, mask);; i = (i + 1) & mask) {
        if (enc->open_slots[i] == nullptr) return SIZE_MAX;
        if (enc->open_slots[i] == obj) return i;
    }
}

void open_set_clear(EncoderObject *enc) {
    if (enc->open_count == 0) return;
    memset(enc->open_slots, 0, (enc->open_mask + 1) * sizeof(PyObject *));
    enc->open_count = 0;
}

// Keeps the emptied table as the thread's spare (when larger than the one there).
void open_set_free(EncoderObject *enc) noexcept {
    open_set_clear(enc);
    t_spare_open.keep(enc->open_slots, enc->open_mask, true);
    enc->open_limit = 0;
}

}  // namespace

size_t open_set_insert(EncoderObject *enc, PyObject *obj) {
    if (enc->open_count >= enc->open_limit && open_set_grow(enc) < 0) return SIZE_MAX;
    size_t mask = enc->open_mask;
    size_t i = open_home(obj, mask);
    for (; enc->open_slots[i] != nullptr; i = (i + 1) & mask)
        if (enc->open_slots[i] == obj) {
            raise_cycle_error();
            return SIZE_MAX;
        }
    enc->open_slots[i] = obj;
    enc->open_count += 1;
    return i;
}

void open_set_remove(EncoderObject *enc, PyObject *obj) {
    size_t hole = open_set_find(enc, obj);
    if (hole == SIZE_MAX) return;
    PyObject **slots = enc->open_slots;
    size_t mask = enc->open_mask;
    size_t i = hole;
    for (;;) {
        i = (i + 1) & mask;
        PyObject *next = slots[i];
        if (next == nullptr) break;
        size_t home = open_home(next, mask);
        // Move `next` into the hole unless its home lies cyclically in (hole, i].
        bool stays = hole <= i ? (hole < home && home <= i) : (hole < home || home <= i);
        if (stays) continue;
        slots[hole] = next;
        hole = i;
    }
    slots[hole] = nullptr;
    enc->open_count -= 1;
}

void registry_remove(EncoderObject *enc, const ShareScope &scope) {
    SharedRegistry *r = enc->registry;
    if (r == nullptr) return;
    size_t slot = scope.slot;
    if (r->slots != scope.slots || r->slots[slot].obj == nullptr || r->slots[slot].id != scope.id) {
        SharedRegistry::Slot *s = registry_find(r, scope.id);
        if (s == nullptr) return;
        slot = static_cast<size_t>(s - r->slots);
    }
    registry_remove_at(r, slot);
}

void registry_clear(EncoderObject *enc) {
    SharedRegistry *r = enc->registry;
    enc->share_next = 0;
    // Outside every step the path is empty, but for entries of steps that could not end.
    if (enc->share_scopes == 0) {
        enc->path_len = 0;
        enc->path_mask = 0;
        open_set_clear(enc);
    }
    if (r == nullptr || r->count == 0) return;
    // Detached first: releasing a reference can run Python code.
    enc->registry = nullptr;
    for (size_t i = 0; i <= r->mask; ++i)
        if (r->slots[i].obj != nullptr && r->slots[i].owned()) Py_DECREF(r->slots[i].obj);
    PyMem_RawFree(r->slots);
    PyMem_Free(r);
}

void registry_free(EncoderObject *enc) {
    registry_clear(enc);
    open_set_free(enc);
    if (enc->registry != nullptr) {
        spare_slots(enc->registry);
        PyMem_Free(enc->registry);
        enc->registry = nullptr;
    }
}

int registry_traverse(EncoderObject *enc, visitproc visit, void *arg) {
    SharedRegistry *r = enc->registry;
    if (r == nullptr || r->slots == nullptr) return 0;
    for (size_t i = 0; i <= r->mask; ++i)
        if (r->slots[i].obj != nullptr && r->slots[i].owned()) Py_VISIT(r->slots[i].obj);
    return 0;
}

int share_begin_general(Ctx &c, PyObject *obj, ShareScope &scope) {
    if (!c.open()) return -1;
    EncoderObject *enc = c.enc;
    SharedRegistry *r = enc->registry;
    if (r == nullptr || 2 * (r->count + 1) > r->mask + 1) [[unlikely]] {
        if (registry_reserve(enc) < 0) return -1;
        r = enc->registry;
    }
    uint64_t id = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(obj));
    size_t i = slot_of(id, r->mask);
    for (; r->slots[i].obj != nullptr; i = (i + 1) & r->mask) {
        if (r->slots[i].id != id) continue;
        uint64_t index = r->slots[i].index;
        if (index == kNoShareIndex) return raise_cycle_error();
        if (put_header(enc, cbor::kTag, cbor::tag::kSharedReference) < 0) return -1;
        return put_header(enc, cbor::kUnsigned, index) < 0 ? -1 : 0;
    }
    bool sharing = sharing_values(enc);
    if (sharing) {
        r->slots[i] = {id, Py_NewRef(obj), enc->share_next};
        r->count += 1;
        enc->share_next += 1;
        if (put_header(enc, cbor::kTag, cbor::tag::kShareable) < 0) return -1;
    } else {
        r->slots[i] = {id, obj, kNoShareIndex};
        r->count += 1;
    }
    scope.in_registry = true;
    scope.slots = r->slots;
    scope.slot = i;
    scope.count = r->count;
    scope.id = id;
    scope.sharing = sharing;
    scope.open.saved_tag_base = enc->tag_base;
    enc->share_scopes += 1;
    enc->tag_base = enc->tag_len;
    return 1;
}

int share(Ctx &c, PyObject *obj, ShareBody body, void *arg) {
    ShareScope scope;
    int r = share_begin(c, obj, scope);
    if (r <= 0) return r;
    int rc = body(c, obj, arg);
    if (share_end(c, scope) < 0) return -1;
    return rc;
}

// ---- shareable_encoder

namespace {

int call_wrapped(Ctx &c, PyObject *value, void *wraps) {
    c.close();
    PyObject *args[] = {reinterpret_cast<PyObject *>(c.enc), value};
    Ref r(PyObject_Vectorcall(static_cast<PyObject *>(wraps), args, 2, nullptr));
    return r ? 0 : -1;
}

// The callable shareable_encoder returns; `self` is the wrapped function. Keyword
// arguments and positional arguments after the second are ignored.
PyObject *shareable_wrapper(PyObject *wraps, PyObject *args, PyObject *) {
    PyObject *encoder = PyTuple_GetItem(args, 0);
    if (encoder == nullptr) return nullptr;
    PyTypeObject *tp = encoder_type();
    if (tp == nullptr) return nullptr;
    if (Py_TYPE(encoder) != tp) {
        raise_not_instance(encoder, "CBOREncoder");
        return nullptr;
    }
    PyObject *value = PyTuple_GetItem(args, 1);
    if (value == nullptr) return nullptr;
    Ctx c(reinterpret_cast<EncoderObject *>(encoder));
    if (share(c, value, call_wrapped, wraps) < 0) return nullptr;
    return PyTuple_New(0);
}

PyMethodDef wrapper_def = {
    "shareable_encoder_wrapper", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(shareable_wrapper)),
    METH_VARARGS | METH_KEYWORDS,
    "wrapper(encoder, value)\n--\n\nEncodes `value` with the wrapped function, marking it shared (or "
    "guarding it against cycles) as the encoder's value_sharing option says."};

const char *const kWraps[] = {"wraps"};
const ArgumentSpec kShareableSpec{"shareable_encoder", nullptr, kWraps, 1, 1, 1, nullptr, 0};

PyObject *shareable_encoder(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *wraps;
    if (parse_arguments(kShareableSpec, args, nargs, kwnames, &wraps) < 0) return nullptr;
    return PyCFunction_NewEx(&wrapper_def, wraps, nullptr);
}

PyMethodDef shareable_def = {
    "shareable_encoder", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(shareable_encoder)),
    METH_FASTCALL | METH_KEYWORDS,
    "shareable_encoder(wraps, /)\n--\n\nWrap the given encoder function to gracefully handle cyclic data\n"
    "structures.\n\nIf value sharing is enabled, this marks the given value shared in the\ndatastream on the "
    "first call. If the value has already been passed to this\nmethod, a reference marker is instead written to "
    "the data stream and the\nwrapped function is not called.\n\nIf value sharing is disabled, only infinite "
    "recursion protection is done."};

}  // namespace

PyMethodDef *shareable_encoder_def() { return &shareable_def; }

}  // namespace kelvo
