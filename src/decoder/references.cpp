// Shared values (tags 28 and 29) and string references (tags 256 and 25) on decoding:
// the shareable table, the string namespaces, and the marker frames that open them.
#include "decoder/machine.h"

#include "lib/recursion.h"
#include "types/exceptions.h"
#include "types/frozendict.h"
#include "types/tag.h"

namespace kelvo {

namespace {

int push_marker(Machine &m, FrameKind kind, uint64_t shareable_index) {
    if (check_depth(m) < 0) return -1;
    DecodeFrame f{};
    f.shareable_index = shareable_index;
    f.kind = kind;
    f.immutable = m.immutable;
    m.set_mark(f);
    return m.frames.push(f);
}

// The shortest string worth numbering when a namespace already holds `count` strings: a
// reference to it (tag 25 and its index) would not be shorter.
uint64_t registration_threshold(size_t count) {
    if (count < 24) return 3;
    if (count < 256) return 4;
    if (count < 65536) return 5;
    if (count < 4294967296ull) return 7;
    return 11;
}

// Shared values that get an immutable copy where one is needed: those the decoder builds
// as mutable containers. Anything else (hook results, CBORTag) is used as it is.
bool freezable(PyObject *v) { return PyList_CheckExact(v) || PyDict_CheckExact(v) || Py_IS_TYPE(v, &PySet_Type); }

// The memo of copies maps the address of each original to (original, copy); a container
// that is still being built maps to its slot index instead, and one whose copy is in
// progress to None.
int mark_building(Machine &m, PyObject *container, uint64_t index) {
    Ref key(PyLong_FromVoidPtr(container));
    Ref slot(PyLong_FromUnsignedLongLong(index));
    if (!key || !slot) return -1;
    return PyDict_SetItem(m.frozen, key.get(), slot.get());
}

int start_frozen(Machine &m) {
    m.frozen = PyDict_New();
    if (m.frozen == nullptr) return -1;
    for (size_t i = 0; i < m.shareables.size(); ++i) {
        const SharedSlot &slot = m.shareables[i];
        if (slot.building && freezable(slot.value) && mark_building(m, slot.value, i) < 0) return -1;
    }
    return 0;
}

// Why an immutable copy could not be made (no exception is set for these).
enum class Blocked { None, Building, ContainsItself };

PyObject *freeze(Machine &m, PyObject *obj, Blocked *blocked);

// An immutable copy of a list (a tuple), dict (a frozendict) or set (a frozenset), the
// containers inside copied the same way. New reference, or NULL (with an exception set
// unless *blocked says why not).
PyObject *frozen_copy(Machine &m, PyObject *obj, Blocked *blocked) {
    if (Py_IS_TYPE(obj, &PySet_Type)) return PyFrozenSet_New(obj);
    if (PyList_CheckExact(obj)) {
        Ref items(PyList_AsTuple(obj));
        if (!items) return nullptr;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
            PyObject *item = PyTuple_GET_ITEM(items.get(), i);
            if (!freezable(item)) continue;
            PyObject *copy = freeze(m, item, blocked);
            if (copy == nullptr) return nullptr;
            PyTuple_SET_ITEM(items.get(), i, copy);
            Py_DECREF(item);
        }
        return items.release();
    }
    Ref pairs(PyDict_Items(obj));
    if (!pairs) return nullptr;
    Py_ssize_t n = PyList_GET_SIZE(pairs.get());
    PodVec<PyObject *> kv;
    if (kv.reserve(2 * static_cast<size_t>(n)) < 0) return nullptr;
    PyObject *result = nullptr;
    Py_ssize_t i = 0;
    for (; i < n; ++i) {
        PyObject *pair = PyList_GET_ITEM(pairs.get(), i);
        PyObject *value = freeze(m, PyTuple_GET_ITEM(pair, 1), blocked);
        if (value == nullptr) break;
        kv.push(PyTuple_GET_ITEM(pair, 0));
        kv.push(value);
    }
    if (i == n) result = frozendict_from_pairs(kv.data(), n);
    for (size_t j = 1; j < kv.size(); j += 2) Py_DECREF(kv[j]);
    return result;
}

PyObject *freeze(Machine &m, PyObject *obj, Blocked *blocked) {
    if (!freezable(obj)) return Py_NewRef(obj);
    Ref key(PyLong_FromVoidPtr(obj));
    if (!key) return nullptr;
    PyObject *entry;
    int r = PyDict_GetItemRef(m.frozen, key.get(), &entry);
    if (r < 0) return nullptr;
    if (r > 0) {
        Ref held(entry);
        if (PyTuple_Check(entry)) return Py_NewRef(PyTuple_GET_ITEM(entry, 1));
        if (entry == Py_None) {
            *blocked = Blocked::ContainsItself;
            return nullptr;
        }
        // A container registered before its contents: refused while it is still being built.
        uint64_t i = PyLong_AsUnsignedLongLong(entry);
        if (i < m.shareables.size() && m.shareables[i].building && m.shareables[i].value == obj) {
            *blocked = Blocked::Building;
            return nullptr;
        }
    }
    if (PyDict_SetItem(m.frozen, key.get(), Py_None) < 0) return nullptr;
    Ref copy;
    {
        RecursionGuard depth;
        if (depth.enter(" while making a shared value immutable")) copy = Ref(frozen_copy(m, obj, blocked));
    }
    if (!copy) {
        // Forget the copy in progress, so that the original can be met again later.
        if (*blocked != Blocked::None && PyDict_DelItem(m.frozen, key.get()) < 0) return nullptr;
        return nullptr;
    }
    Ref done(PyTuple_Pack(2, obj, copy.get()));
    if (!done || PyDict_SetItem(m.frozen, key.get(), done.get()) < 0) return nullptr;
    return copy.release();
}

// What the value delivered next is used for: nothing in particular, an element of an
// immutable container, or (part of) a map key or set element, which gets hashed.
enum class Use { Any, Immutable, Hashed };

Use next_item_use(const Machine &m) {
    // Tuples and frozendicts nest inside a key or set: look through a few levels of them
    // (and of marker frames and tag 55799, which pass the item on) for the frame that
    // settles it. A CBORTag made without a tag_hook holds its content immutable, like a
    // tuple, and is hashed with it; a hook gets the content as it is.
    Use use = Use::Any;
    size_t n = m.frames.size();
    size_t end = m.values.size();  // end of the items of the frame looked at
    for (size_t seen = 0; seen < 64 && n > 0; ++seen) {
        const DecodeFrame &f = m.frames[--n];
        switch (f.kind) {
            case FrameKind::ShareableMarker:
            case FrameKind::NamespaceMarker:
            case FrameKind::Identity:
                continue;
            case FrameKind::OtherTag:
                if (f.callable != nullptr) return use;
                use = Use::Immutable;
                continue;  // no items of its own on the value stack
            case FrameKind::Set:
                return Use::Hashed;
            case FrameKind::Dict:
                return f.extra == nullptr ? Use::Hashed : use;
            case FrameKind::FrozenDict:
                // An even number of items so far: the next one is a key.
                if (((end - f.base) & 1) == 0) return Use::Hashed;
                use = Use::Immutable;
                end = f.base;
                continue;
            case FrameKind::Tuple:
                use = Use::Immutable;
                end = f.base;
                continue;
            default:
                return use;
        }
    }
    if (n == 0 && m.start_immutable && use == Use::Any) return Use::Immutable;
    return use;
}

}  // namespace

int register_building(Machine &m, uint64_t index) {
    SharedSlot &slot = m.shareables[index];
    slot.building = true;
    if (m.frozen == nullptr || !freezable(slot.value)) return 0;
    return mark_building(m, slot.value, index);
}

int open_shareable(Machine &m) {
    if (m.shareables.reserve(1) < 0) return -1;
    if (push_marker(m, FrameKind::ShareableMarker, m.shareables.size()) < 0) return -1;
    return m.shareables.push(SharedSlot{nullptr, 0, m.units(), 0, false});
}

int open_string_namespace(Machine &m) {
    if (m.namespaces.reserve(1) < 0) return -1;
    if (push_marker(m, FrameKind::NamespaceMarker, kNoIndex) < 0) return -1;
    return m.namespaces.push(m.strings.size());
}

int register_string(Machine &m, PyObject *value, uint64_t length) {
    size_t count = m.strings.size() - m.namespaces.back();
    if (length < registration_threshold(count)) return 0;
    if (m.strings.push(value) < 0) return -1;
    Py_INCREF(value);
    return 0;
}

int resolve_shared_reference(Machine &m, uint64_t index, PyObject **item, uint64_t *height) {
    if (index >= m.shareables.size())
        return raise_exc_format(Exc::CBORDecodeError, "shared reference %llu not found",
                                static_cast<unsigned long long>(index));
    const SharedSlot &slot = m.shareables[index];
    if (slot.value == nullptr)
        return raise_exc_format(Exc::CBORDecodeError, "shared value %llu has not been initialized",
                                static_cast<unsigned long long>(index));
    // The value's own nesting counts wherever it is inserted.
    uint64_t open = m.frames.size();
    if (slot.height > m.d->max_depth || open > m.d->max_depth - slot.height)
        return raise_exc_format(Exc::CBORDecodeError, "maximum container nesting depth (%llu) exceeded",
                                static_cast<unsigned long long>(m.d->max_depth));
    // A tag still being built has no value yet: hashed now, it would sit in its map or set
    // under a hash that no longer matches once its value is set.
    if (slot.building && is_tag(slot.value) && next_item_use(m) == Use::Hashed)
        return raise_exc_format(Exc::CBORDecodeError,
                                "shared value %llu is still being built and cannot be used where an "
                                "immutable value is needed",
                                static_cast<unsigned long long>(index));
    // Where an immutable value is needed (a map key, a set, an immutable container), a
    // shared list, dict or set is replaced by an immutable copy, made once. A value still
    // being built (or containing itself) has none: it is refused where it would be hashed
    // and used as it is elsewhere.
    // (A value nested too deeply to be hashed is left alone: where it would be hashed the
    // depth check refuses it, and the copy would only recurse that deep.)
    Use use = freezable(slot.value) && slot.height <= kMaxHashedHeight ? next_item_use(m) : Use::Any;
    if (use != Use::Any) {
        if (m.frozen == nullptr && start_frozen(m) < 0) return -1;
        Blocked blocked = Blocked::None;
        *item = freeze(m, slot.value, &blocked);
        if (*item == nullptr) {
            if (blocked == Blocked::None) return -1;
            if (use == Use::Hashed)
                return raise_exc_format(Exc::CBORDecodeError,
                                        blocked == Blocked::Building
                                            ? "shared value %llu is still being built and cannot be used "
                                              "where an immutable value is needed"
                                            : "shared value %llu contains itself and cannot be used where an "
                                              "immutable value is needed",
                                        static_cast<unsigned long long>(index));
            *item = Py_NewRef(slot.value);
        }
    } else {
        *item = Py_NewRef(slot.value);
    }
    *height = slot.height;
    m.ref_units += slot.expansion;
    return 0;
}

int resolve_string_reference(Machine &m, uint64_t index, PyObject **item) {
    if (m.namespaces.empty()) return raise_exc(Exc::CBORDecodeError, "string reference outside of namespace");
    size_t start = m.namespaces.back();
    if (index >= m.strings.size() - start)
        return raise_exc_format(Exc::CBORDecodeError, "string reference %llu not found",
                                static_cast<unsigned long long>(index));
    PyObject *s = m.strings[start + index];
    Py_ssize_t length = PyBytes_Check(s) ? PyBytes_GET_SIZE(s) : PyUnicode_Check(s) ? PyUnicode_GET_LENGTH(s) : 0;
    m.string_ref_units += static_cast<uint64_t>(length);
    *item = Py_NewRef(s);
    return 0;
}

}  // namespace kelvo
