// Arrays, maps and sets: lists or tuples, dicts or frozendicts, sets or frozensets, with
// duplicate-key detection, strict key types and object_hook.
#include "decoder/machine.h"

#include "types/exceptions.h"
#include "types/frozendict.h"
#include "types/tag.h"

#include <utility>

namespace kelvo {

namespace {

int check_hash_depth(const char *role, uint64_t height) {
    if (height <= kMaxHashedHeight) return 0;
    return raise_exc_format(Exc::CBORDecodeError, "%s nested too deeply to be hashed (more than %d levels)", role,
                            static_cast<int>(kMaxHashedHeight));
}

// With strict_hashable_types only exact str and bytes objects are accepted.
int check_key_type(PyObject *obj, const char *role) {
    if (PyUnicode_CheckExact(obj) || PyBytes_CheckExact(obj)) return 0;
    Ref type_name(PyType_GetName(Py_TYPE(obj)));
    if (!type_name) return -1;
    return raise_exc_format(Exc::CBORDecodeError, "%s must be a text string or byte string, not %U", role,
                            type_name.get());
}

// Takes the size of obj's repr roughly from `room` (strings by their length, other items a
// few characters each), shared parts counted each time they occur. False once the room is
// used up: the walk stops there, so it costs at most `room` steps.
bool repr_fits(PyObject *obj, Py_ssize_t &room) {
    room -= 8;
    if (room < 0) return false;
    if (PyUnicode_Check(obj)) {
        room -= PyUnicode_GET_LENGTH(obj);
    } else if (PyBytes_Check(obj)) {
        room -= 4 * PyBytes_GET_SIZE(obj);
    } else if (PyTuple_Check(obj)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(obj) && room >= 0; ++i)
            if (!repr_fits(PyTuple_GET_ITEM(obj, i), room)) return false;
    } else if (is_frozendict(obj)) {
        // The items dict of a frozendict never changes.
        PyObject *dict = reinterpret_cast<FrozenDictObject *>(obj)->dict;
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (room >= 0 && PyDict_Next(dict, &pos, &k, &v))
            if (!repr_fits(k, room) || !repr_fits(v, room)) return false;
    } else if (PyFrozenSet_Check(obj) || is_tag(obj)) {
        Ref inner(PyFrozenSet_Check(obj) ? PySequence_Tuple(obj) : PyObject_GetAttrString(obj, "value"));
        if (!inner) {
            PyErr_Clear();
            return false;
        }
        return repr_fits(inner.get(), room);
    }
    return room >= 0;
}

// "Duplicate map key: {}" with the key's repr. A long repr is cut short, and a key whose
// repr would be long is not turned into text in full.
int raise_duplicate_key(PyObject *key) {
    constexpr Py_ssize_t kShown = 200;
    Py_ssize_t room = 8192;
    Ref text;
    if (repr_fits(key, room)) {
        text = Ref(PyObject_Repr(key));
    } else if (PyUnicode_CheckExact(key) || PyBytes_CheckExact(key)) {
        Ref head(PySequence_GetSlice(key, 0, kShown + 1));
        if (!head) return -1;
        text = Ref(PyObject_Repr(head.get()));
    } else {
        Ref type_name(PyType_GetName(Py_TYPE(key)));
        if (!type_name) return -1;
        return raise_exc_format(Exc::CBORDecodeError, "Duplicate map key: <%U too long to show>", type_name.get());
    }
    if (!text) return -1;
    if (PyUnicode_GET_LENGTH(text.get()) <= kShown)
        return raise_exc_format(Exc::CBORDecodeError, "Duplicate map key: %U", text.get());
    Ref head(PyUnicode_Substring(text.get(), 0, kShown));
    if (!head) return -1;
    return raise_exc_format(Exc::CBORDecodeError, "Duplicate map key: %U...", head.get());
}

}  // namespace

namespace {

// The units a value that refers to others may stand for, after `read` bytes of input.
uint64_t expansion_bound(uint64_t read) {
    return read < kExpansionCap / kExpansionFactor ? read * kExpansionFactor : kExpansionCap - 1;
}

uint64_t saturating_add(uint64_t a, uint64_t b) { return b < UINT64_MAX - a ? a + b : UINT64_MAX; }

}  // namespace

int check_expansion(Machine &m, const char *role, const DecodeFrame &f) {
    uint64_t bound = expansion_bound(m.bytes_read());
    uint64_t added = m.ref_units - f.mark_refs;
    if (added == 0) return 0;
    m.hashed_ref_units = saturating_add(m.hashed_ref_units, added);
    if (m.units_since(f) <= bound + kKeyAllowance && m.hashed_ref_units <= bound + kHashedAllowance) return 0;
    return raise_exc_format(Exc::CBORDecodeError,
                            "%s refers to shared values that expand to far more than the input read so far",
                            role);
}

int charge_codec_payload(Machine &m, const DecodeFrame &f) {
    uint64_t added = saturating_add(m.ref_units - f.mark_refs, m.string_ref_units - f.mark_strings);
    m.codec_ref_units = saturating_add(m.codec_ref_units, added);
    if (m.codec_ref_units <= expansion_bound(m.bytes_read()) + kCodecAllowance) return 0;
    return raise_exc(Exc::CBORDecodeError,
                     "payload refers to shared values or string references that expand to far more than the "
                     "input read so far (the budget for references handed to tag decoders is spent)");
}

PyObject *empty_container(bool map, bool immutable) {
    if (map) return immutable ? frozendict_from_pairs(nullptr, 0) : PyDict_New();
    return immutable ? PyTuple_New(0) : PyList_New(0);
}

PyObject *collect_sequence(Machine &m, size_t base, bool tuple) {
    size_t n = m.values.size() - base;
    PyObject *seq = tuple ? PyTuple_New(static_cast<Py_ssize_t>(n)) : PyList_New(static_cast<Py_ssize_t>(n));
    if (seq == nullptr) return nullptr;
    PyObject **items = m.values.data() + base;
    if (tuple) {
        for (size_t i = 0; i < n; ++i) PyTuple_SET_ITEM(seq, static_cast<Py_ssize_t>(i), items[i]);
    } else {
        for (size_t i = 0; i < n; ++i) PyList_SET_ITEM(seq, static_cast<Py_ssize_t>(i), items[i]);
    }
    m.values.truncate(base);
    return seq;
}

namespace {

DecodeAction finish_array(Machine &m, DecodeFrame &f) {
    if (f.kind == FrameKind::ListInPlace) return DecodeAction::complete(Py_NewRef(f.container));
    if (f.kind == FrameKind::ListFill) return DecodeAction::complete(finish_filled_list(m, f));
    return DecodeAction::complete(collect_sequence(m, f.base, f.kind == FrameKind::Tuple));
}

PyObject *call_object_hook(PyObject *hook, PyObject *mapping_owned, bool immutable) {
    Ref mapping(mapping_owned);
    if (!mapping || hook == nullptr) return mapping.release();
    PyObject *args[] = {mapping.get(), immutable ? Py_True : Py_False};
    return PyObject_Vectorcall(hook, args, 2, nullptr);
}

DecodeAction finish_map(Machine &m, DecodeFrame &f) {
    PyObject *mapping;
    if (f.kind == FrameKind::Dict) {
        mapping = Py_NewRef(f.container);
    } else {
        size_t n = m.values.size() - f.base;
        mapping = frozendict_from_pairs(m.values.data() + f.base, static_cast<Py_ssize_t>(n / 2));
        m.drop_values(f.base);
    }
    return DecodeAction::complete(call_object_hook(f.callable, mapping, f.hook_immutable));
}

}  // namespace

DecodeAction decode_array(Machine &m, uint8_t ai) {
    uint64_t n;
    int r = read_argument(m, ai, &n);
    if (r < 0) return DecodeAction::error();
    bool indefinite = r == 0;
    if (!indefinite && n == 0) return DecodeAction::item(empty_container(false, m.immutable));
    Ref list;
    FrameKind kind = FrameKind::Tuple;
    if (!m.immutable) {
        // A list that is the value of a shareable tag must exist before its items, so that
        // references inside it find it; any other list is made once its items are known.
        if (m.top_is_shareable_marker()) {
            list = Ref(PyList_New(0));
            if (!list) return DecodeAction::error();
            kind = FrameKind::ListInPlace;
        } else {
            kind = FrameKind::ListCollect;
        }
    }
    DecodeFrame &f = m.prepare(kind, false, indefinite);
    f.count = indefinite ? kIndefinite : n;
    f.base = m.values.size();
    f.container = list.release();
    return DecodeAction::push();
}

DecodeAction deliver_array(Machine &m, DecodeFrame &f, Ref item) {
    if (item.get() == m.break_marker) return finish_array(m, f);
    if (f.kind == FrameKind::ListInPlace) {
        if (PyList_Append(f.container, item.get()) < 0) return DecodeAction::error();
    } else if (f.kind == FrameKind::ListFill) {
        PyList_SET_ITEM(f.container, static_cast<Py_ssize_t>(f.filled), item.release());
    } else {
        if (m.values.push(item.get()) < 0) return DecodeAction::error();
        item.release();
    }
    // Completion follows the input's count, whatever hooks may do to a shared list.
    if (++f.filled == f.count) return finish_array(m, f);
    return DecodeAction::next(false);
}

DecodeAction decode_map(Machine &m, uint8_t ai) {
    uint64_t n;
    int r = read_argument(m, ai, &n);
    if (r < 0) return DecodeAction::error();
    bool indefinite = r == 0;
    DecoderState *d = m.d;
    if (!indefinite && n == 0) {
        return DecodeAction::item(call_object_hook(d->object_hook, empty_container(true, m.immutable), m.immutable));
    }
    Ref container;
    if (m.immutable) {
        if (!d->allow_duplicate_keys) {
            container = Ref(PySet_New(nullptr));
            if (!container) return DecodeAction::error();
        }
    } else {
        container = Ref(PyDict_New());
        if (!container) return DecodeAction::error();
    }
    DecodeFrame &f = m.prepare(m.immutable ? FrameKind::FrozenDict : FrameKind::Dict, true, indefinite);
    f.count = indefinite ? kIndefinite : n;
    f.base = m.values.size();
    // The dict is the frame's container object; the seen-key set of an immutable map is
    // private state and must not be registered as a shared value.
    if (m.immutable)
        f.extra = container.release();
    else
        f.container = container.release();
    f.callable = Py_XNewRef(d->object_hook);
    f.hook_immutable = m.immutable;
    f.strict_keys = d->strict_hashable_types;
    f.allow_duplicates = d->allow_duplicate_keys;
    return DecodeAction::push();
}

DecodeAction deliver_map(Machine &m, DecodeFrame &f, Ref item, uint64_t height) {
    bool is_dict = f.kind == FrameKind::Dict;
    bool key_pending = is_dict ? f.extra != nullptr : ((m.values.size() - f.base) & 1) != 0;
    if (item.get() == m.break_marker) {
        if (key_pending) {
            raise_exc(Exc::CBORDecodeError, "missing value for key in indefinite-length map");
            return DecodeAction::error();
        }
        return finish_map(m, f);
    }
    if (!key_pending) {
        if (f.strict_keys && check_key_type(item.get(), "map key") < 0) return DecodeAction::error();
        if (check_hash_depth("map key", height) < 0) return DecodeAction::error();
        if (check_expansion(m, "map key", f) < 0) return DecodeAction::error();
        if (is_dict) {
            f.extra = item.release();
        } else {
            if (m.values.push(item.get()) < 0) return DecodeAction::error();
            item.release();
        }
        return DecodeAction::next(false);
    }
    if (is_dict) {
        Ref key = f.extra_borrowed ? Ref::borrow(f.extra) : Ref(f.extra);
        f.extra = nullptr;
        f.extra_borrowed = false;
        if (!f.allow_duplicates) {
            int r = PyDict_Contains(f.container, key.get());
            if (r < 0) return DecodeAction::error();
            if (r > 0) {
                raise_duplicate_key(key.get());
                return DecodeAction::error();
            }
        }
        if (PyDict_SetItem(f.container, key.get(), item.get()) < 0) return DecodeAction::error();
    } else {
        PyObject *key = m.values.back();
        if (!f.allow_duplicates) {
            int r = PySet_Contains(f.extra, key);
            if (r < 0) return DecodeAction::error();
            if (r > 0) {
                raise_duplicate_key(key);
                return DecodeAction::error();
            }
            if (PySet_Add(f.extra, key) < 0) return DecodeAction::error();
        }
        if (m.values.push(item.get()) < 0) return DecodeAction::error();
        item.release();
    }
    m.set_mark(f);
    if (++f.filled == f.count) return finish_map(m, f);
    return DecodeAction::next(true);
}

DecodeAction begin_set(Machine &m) {
    Ref placeholder;
    if (!m.immutable) {
        placeholder = Ref(PySet_New(nullptr));
        if (!placeholder) return DecodeAction::error();
    }
    DecodeFrame &f = m.prepare(FrameKind::Set, true, false);
    f.container = placeholder.release();
    f.strict_keys = m.d->strict_hashable_types;
    return DecodeAction::push();
}

DecodeAction deliver_set(Machine &m, DecodeFrame &f, Ref item, uint64_t height) {
    PyObject *payload = item.get();
    if (!PyTuple_Check(payload)) {
        raise_exc_format(Exc::CBORDecodeError, "input value must be an array, not %S",
                         reinterpret_cast<PyObject *>(Py_TYPE(payload)));
        return DecodeAction::error();
    }
    Py_ssize_t n = PyTuple_GET_SIZE(payload);
    if (f.strict_keys) {
        for (Py_ssize_t i = 0; i < n; ++i)
            if (check_key_type(PyTuple_GET_ITEM(payload, i), "set element") < 0) return DecodeAction::error();
    }
    if (n > 0 && check_hash_depth("set element", height > 0 ? height - 1 : 0) < 0) return DecodeAction::error();
    if (n > 0 && check_expansion(m, "set element", f) < 0) return DecodeAction::error();
    if (f.container == nullptr) return DecodeAction::complete(PyFrozenSet_New(payload));
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PySet_Add(f.container, PyTuple_GET_ITEM(payload, i)) < 0) return DecodeAction::error();
    return DecodeAction::complete(Py_NewRef(f.container));
}

}  // namespace kelvo
