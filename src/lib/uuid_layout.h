// The standard uuid.UUID read and built through its slots, without running its Python code:
// shared by the UUID tag codec and the typed codec.
#pragma once

#include "lib/pyref.h"

#include <cstdint>

namespace kelvo::uuid_layout {

// The class, its two slot descriptors and the is_safe value its constructor stores by
// default. The three last are null unless the class is the standard one.
struct UuidLayout {
    PyObject *type = nullptr;
    PyObject *int_slot = nullptr;
    PyObject *safe_slot = nullptr;
    PyObject *safe_default = nullptr;
};

namespace detail {

// A name from a type's own dictionary (borrowed through `held`), or nullptr.
inline PyObject *own_attr(PyObject *dict, const char *name, Ref &held) {
    PyObject *v = nullptr;
    if (PyDict_GetItemStringRef(dict, name, &v) < 0) PyErr_Clear();
    held.reset(v);
    return v;
}

inline bool is_text(PyObject *obj, const char *text) {
    return obj != nullptr && PyUnicode_Check(obj) && PyUnicode_CompareWithASCIIString(obj, text) == 0;
}

}  // namespace detail

// Whether `type` is the standard uuid.UUID: slots int and is_safe (and __weakref__) of its
// own, object's allocation, and the constructor of the uuid module. On true, the slots and
// the default go into `out` as new references; on false `out` is untouched. Never raises.
inline bool inspect(PyObject *type, UuidLayout &out) {
    using detail::is_text;
    using detail::own_attr;
    if (!PyType_Check(type)) return false;
    auto *tp = reinterpret_cast<PyTypeObject *>(type);
    if (tp->tp_new != PyBaseObject_Type.tp_new) return false;
    Ref dict(PyType_GetDict(tp));
    if (!dict) {
        PyErr_Clear();
        return false;
    }
    Ref module, slots, int_slot, safe_slot, init, safe_default;
    if (!is_text(own_attr(dict.get(), "__module__", module), "uuid")) return false;
    PyObject *s = own_attr(dict.get(), "__slots__", slots);
    if (s == nullptr || !PyTuple_Check(s) || PyTuple_GET_SIZE(s) != 3 || !is_text(PyTuple_GET_ITEM(s, 0), "int") ||
        !is_text(PyTuple_GET_ITEM(s, 1), "is_safe") || !is_text(PyTuple_GET_ITEM(s, 2), "__weakref__"))
        return false;
    PyObject *i = own_attr(dict.get(), "int", int_slot);
    PyObject *safe = own_attr(dict.get(), "is_safe", safe_slot);
    if (i == nullptr || safe == nullptr || !Py_IS_TYPE(i, &PyMemberDescr_Type) ||
        !Py_IS_TYPE(safe, &PyMemberDescr_Type))
        return false;
    PyObject *f = own_attr(dict.get(), "__init__", init);
    if (f == nullptr || !PyFunction_Check(f)) return false;
    // A function's attributes can be reassigned by other threads: read them as new references.
    Ref init_module(PyObject_GetAttrString(f, "__module__"));
    Ref kw(PyObject_GetAttrString(f, "__kwdefaults__"));
    if (!init_module || !kw) PyErr_Clear();
    if (!is_text(init_module.get(), "uuid") || !kw || !PyDict_Check(kw.get())) return false;
    if (own_attr(kw.get(), "is_safe", safe_default) == nullptr) return false;
    out.int_slot = int_slot.release();
    out.safe_slot = safe_slot.release();
    out.safe_default = safe_default.release();
    return true;
}

// The 16 bytes of a standard UUID read big-endian from its int slot: 1 read, 0 when the slot
// holds something other than a plain int of 0 to 2**128 - 1 (left to the class's own
// `bytes`), -1 with the exception set.
inline int read_bytes(const UuidLayout &l, PyObject *obj, uint8_t *out) {
    Ref value(Py_TYPE(l.int_slot)->tp_descr_get(l.int_slot, obj, l.type));
    if (!value) {
        // An instance whose slot was never set: `bytes` reports it in its own words.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (!PyLong_CheckExact(value.get())) return 0;
    Py_ssize_t n = PyLong_AsNativeBytes(
        value.get(), out, 16,
        Py_ASNATIVEBYTES_BIG_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER | Py_ASNATIVEBYTES_REJECT_NEGATIVE);
    if (n < 0) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return -1;
        PyErr_Clear();
        return 0;
    }
    return n <= 16 ? 1 : 0;
}

// What uuid.UUID(bytes=raw) builds: a new instance whose int slot holds the 16 bytes read
// big-endian and whose is_safe slot holds the constructor's default.
inline PyObject *build(const UuidLayout &l, const uint8_t *raw) {
    Ref value(PyLong_FromUnsignedNativeBytes(raw, 16, Py_ASNATIVEBYTES_BIG_ENDIAN));
    if (!value) return nullptr;
    Ref args(PyTuple_New(0));
    if (!args) return nullptr;
    auto *tp = reinterpret_cast<PyTypeObject *>(l.type);
    Ref obj(tp->tp_new(tp, args.get(), nullptr));
    if (!obj) return nullptr;
    if (Py_TYPE(l.int_slot)->tp_descr_set(l.int_slot, obj.get(), value.get()) < 0) return nullptr;
    if (Py_TYPE(l.safe_slot)->tp_descr_set(l.safe_slot, obj.get(), l.safe_default) < 0) return nullptr;
    return obj.release();
}

}  // namespace kelvo::uuid_layout
