#include "lib/args.h"

#include "lib/access.h"
#include "lib/stdlib.h"

#include <cstring>

namespace kelvo {

namespace {

// "name()" or "Class.name()" as a str, for the head of every message.
PyObject *full_name(const ArgumentSpec &spec) {
    if (spec.cls != nullptr) return PyUnicode_FromFormat("%s.%s()", spec.cls, spec.function);
    return PyUnicode_FromFormat("%s()", spec.function);
}

// Names in single quotes: 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
PyObject *format_names(const char *const *names, int n) {
    Ref out(PyUnicode_FromString(""));
    for (int i = 0; i < n && out; ++i) {
        const char *sep = "";
        if (i > 0) sep = (n > 2) ? ", " : " ";
        const char *conj = (i > 0 && i == n - 1) ? "and " : "";
        Ref piece(PyUnicode_FromFormat("%s%s'%s'", sep, conj, names[i]));
        if (!piece) return nullptr;
        out.reset(PyUnicode_Concat(out.get(), piece.get()));
    }
    return out.release();
}

int fail_too_many(const ArgumentSpec &spec, Py_ssize_t given) {
    Ref name(full_name(spec));
    if (!name) return -1;
    const char *verb = given == 1 ? "was" : "were";
    if (spec.n_required == spec.n_positional)
        PyErr_Format(PyExc_TypeError, "%U takes %d positional arguments but %zd %s given", name.get(),
                     spec.n_positional, given, verb);
    else
        PyErr_Format(PyExc_TypeError, "%U takes from %d to %d positional arguments but %zd %s given", name.get(),
                     spec.n_required, spec.n_positional, given, verb);
    return -1;
}

int fail_with_names(const ArgumentSpec &spec, const char *head, const char *const *names, int n) {
    Ref name(full_name(spec));
    Ref list(format_names(names, n));
    if (!name || !list) return -1;
    PyErr_Format(PyExc_TypeError, "%U %s%U", name.get(), head, list.get());
    return -1;
}

// Matches one keyword to its slot index, keyword-only names first. -1 when unknown.
int find_keyword(const ArgumentSpec &spec, PyObject *key) {
    for (int i = 0; i < spec.n_kwonly; ++i)
        if (PyUnicode_EqualToUTF8(key, spec.kwonly[i])) return spec.n_positional + i;
    for (int i = 0; i < spec.n_positional; ++i)
        if (PyUnicode_EqualToUTF8(key, spec.positional[i])) return i;
    return -1;
}

// The keyword part of the algorithm, shared by both calling forms. `get_kw(i, &key, &value)`
// yields the i-th keyword pair (borrowed).
template <typename GetKw>
int match_keywords(const ArgumentSpec &spec, Py_ssize_t nkw, GetKw &&get_kw, PyObject **slots, Py_ssize_t nargs) {
    const char *posonly_given[kMaxSlots];
    int n_posonly_given = 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = nullptr;
        PyObject *value = nullptr;
        if (get_kw(k, &key, &value) < 0) return -1;
        int idx = PyUnicode_Check(key) ? find_keyword(spec, key) : -1;
        if (idx < 0) {
            Ref name(full_name(spec));
            if (!name) return -1;
            PyErr_Format(PyExc_TypeError, "%U got an unexpected keyword argument '%S'", name.get(), key);
            return -1;
        }
        if (idx < spec.n_posonly) {
            if (n_posonly_given < kMaxSlots) posonly_given[n_posonly_given++] = spec.positional[idx];
            continue;
        }
        if (slots[idx] != nullptr) {
            Ref name(full_name(spec));
            if (!name) return -1;
            PyErr_Format(PyExc_TypeError, "%U got multiple values for argument '%S'", name.get(), key);
            return -1;
        }
        slots[idx] = value;
    }
    if (n_posonly_given > 0)
        return fail_with_names(spec, "got some positional-only arguments passed as keyword arguments: ", posonly_given,
                               n_posonly_given);
    if (nargs < spec.n_required) {
        const char *missing[kMaxSlots];
        int n_missing = 0;
        for (int i = 0; i < spec.n_required; ++i)
            if (slots[i] == nullptr) missing[n_missing++] = spec.positional[i];
        if (n_missing > 0) {
            char head[64];
            snprintf(head, sizeof head, "missing %d required positional %s: ", n_missing,
                     n_missing == 1 ? "argument" : "arguments");
            return fail_with_names(spec, head, missing, n_missing);
        }
    }
    return 0;
}

int start(const ArgumentSpec &spec, PyObject *const *args, Py_ssize_t nargs, PyObject **slots) {
    if (nargs > spec.n_positional) return fail_too_many(spec, nargs);
    int n = spec.n_slots();
    for (int i = 0; i < n; ++i) slots[i] = i < nargs ? args[i] : nullptr;
    return 0;
}

}  // namespace

int parse_arguments(const ArgumentSpec &spec, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames,
                    PyObject **slots) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (start(spec, args, nargs, slots) < 0) return -1;
    Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0 && nargs >= spec.n_required) return 0;
    return match_keywords(
        spec, nkw,
        [&](Py_ssize_t k, PyObject **key, PyObject **value) {
            *key = PyTuple_GET_ITEM(kwnames, k);
            *value = args[nargs + k];
            return 0;
        },
        slots, nargs);
}

int parse_arguments_tuple(const ArgumentSpec &spec, PyObject *args, PyObject *kwargs, PyObject **slots) {
    Py_ssize_t nargs = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
    if (start(spec, args != nullptr ? &PyTuple_GET_ITEM(args, 0) : nullptr, nargs, slots) < 0) return -1;
    Py_ssize_t nkw = kwargs != nullptr ? PyDict_GET_SIZE(kwargs) : 0;
    if (nkw == 0 && nargs >= spec.n_required) return 0;
    // The keyword dict belongs to this call alone, so its items are stable while we read them.
    Py_ssize_t pos = 0;
    return match_keywords(
        spec, nkw,
        [&](Py_ssize_t, PyObject **key, PyObject **value) {
            if (!PyDict_Next(kwargs, &pos, key, value)) {
                PyErr_SetString(PyExc_RuntimeError, "keyword arguments changed during the call");
                return -1;
            }
            return 0;
        },
        slots, nargs);
}

// ---- Conversions

namespace {

int is_numpy_bool_type(PyTypeObject *tp) {
    Ref name(PyType_GetName(tp));
    if (!name) {
        PyErr_Clear();
        return 0;
    }
    if (!PyUnicode_EqualToUTF8(name.get(), "bool_") && !PyUnicode_EqualToUTF8(name.get(), "bool")) return 0;
    Ref module(PyObject_GetAttrString(reinterpret_cast<PyObject *>(tp), "__module__"));
    if (!module) {
        PyErr_Clear();
        return 0;
    }
    return PyUnicode_Check(module.get()) && PyUnicode_EqualToUTF8(module.get(), "numpy");
}

}  // namespace

int convert_bool(PyObject *obj, bool *out) {
    if (obj == Py_True) {
        *out = true;
        return 0;
    }
    if (obj == Py_False) {
        *out = false;
        return 0;
    }
    PyTypeObject *tp = Py_TYPE(obj);
    if (obj != Py_None && is_numpy_bool_type(tp)) {
        inquiry nb_bool = tp->tp_as_number != nullptr ? tp->tp_as_number->nb_bool : nullptr;
        if (nb_bool == nullptr) {
            Ref name(type_qualname(tp));
            if (!name) return -1;
            PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion", name.get());
            return -1;
        }
        int r = nb_bool(obj);
        if (r < 0) return -1;
        *out = r != 0;
        return 0;
    }
    return raise_not_instance(obj, "bool");
}

int convert_u64(PyObject *obj, uint64_t *out) {
    if (PyLong_Check(obj)) {
        unsigned long long v = PyLong_AsUnsignedLongLong(obj);
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
        *out = v;
        return 0;
    }
    Ref idx(PyNumber_Index(obj));
    if (!idx) return -1;
    unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
    *out = v;
    return 0;
}

int convert_i64(PyObject *obj, int64_t *out) {
    long v = PyLong_AsLong(obj);
    if (v == -1 && PyErr_Occurred()) return -1;
    *out = v;
    return 0;
}

int convert_u8(PyObject *obj, uint8_t *out) {
    int64_t v;
    if (convert_i64(obj, &v) < 0) return -1;
    if (v < 0 || v > 255) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return -1;
    }
    *out = static_cast<uint8_t>(v);
    return 0;
}

int convert_i32(PyObject *obj, int32_t *out) {
    int64_t v;
    if (convert_i64(obj, &v) < 0) return -1;
    if (v < INT32_MIN || v > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return -1;
    }
    *out = static_cast<int32_t>(v);
    return 0;
}

int check_int_object(PyObject *obj) { return PyLong_Check(obj) ? 0 : raise_not_instance(obj, "int"); }

int convert_str(PyObject *obj, const char **utf8, Py_ssize_t *size) {
    if (!PyUnicode_Check(obj)) return raise_not_instance(obj, "str");
    const char *s = PyUnicode_AsUTF8AndSize(obj, size);
    if (s == nullptr) return -1;
    *utf8 = s;
    return 0;
}

int check_bytes_object(PyObject *obj) { return PyBytes_Check(obj) ? 0 : raise_not_instance(obj, "bytes"); }

int check_tuple(PyObject *obj, Py_ssize_t n) {
    if (!PyTuple_Check(obj)) return raise_not_instance(obj, "tuple");
    Py_ssize_t got = PyTuple_GET_SIZE(obj);
    if (got != n) {
        PyErr_Format(PyExc_ValueError, "expected tuple of length %zd, but got tuple of length %zd", n, got);
        return -1;
    }
    return 0;
}

int check_dict(PyObject *obj) { return PyDict_Check(obj) ? 0 : raise_not_instance(obj, "dict"); }

namespace {

// isinstance(obj, cls) for an abstract class held in a cell; a failure is reported through
// sys.unraisablehook and counts as "not an instance". A RecursionError is no verdict on
// the object, only on the depth of the caller, so it is returned (-1) instead.
int abc_instance(PyObject *obj, stdlib::ImportCell &cell) {
    PyObject *cls = stdlib::get(cell);
    int r = cls != nullptr ? PyObject_IsInstance(obj, cls) : -1;
    if (r >= 0) return r;
    if (PyErr_ExceptionMatches(PyExc_RecursionError)) return -1;
    report_unraisable(obj);
    return 0;
}

}  // namespace

int is_mapping(PyObject *obj) { return PyDict_Check(obj) ? 1 : abc_instance(obj, stdlib::abc_mapping); }

int is_sequence(PyObject *obj) { return abc_instance(obj, stdlib::abc_sequence); }

int check_mapping(PyObject *obj) {
    int r = is_mapping(obj);
    if (r < 0) return -1;
    return r ? 0 : raise_not_instance(obj, "Mapping");
}

ByteVector::~ByteVector() {
    Py_XDECREF(owner_);
    PyMem_Free(data_);
}

PyObject *ByteVector::to_bytes() const {
    if (owner_ != nullptr && PyBytes_CheckExact(owner_)) return Py_NewRef(owner_);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(data()), size_);
}

int convert_byte_vector(PyObject *obj, ByteVector *out) {
    if (PyBytes_Check(obj)) {
        // bytes are immutable: share the storage instead of copying it.
        out->owner_ = Py_NewRef(obj);
        out->data_ = nullptr;
        out->size_ = PyBytes_GET_SIZE(obj);
        out->data_ = nullptr;
        return 0;
    }
    if (PyByteArray_Check(obj)) {
        CriticalSection cs(obj);
        Py_ssize_t n = PyByteArray_GET_SIZE(obj);
        auto *buf = static_cast<uint8_t *>(PyMem_Malloc(n > 0 ? n : 1));
        if (buf == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        if (n > 0) memcpy(buf, PyByteArray_AS_STRING(obj), n);
        out->data_ = buf;
        out->size_ = n;
        return 0;
    }
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return -1;
    }
    if (!PySequence_Check(obj)) return raise_not_instance(obj, "Sequence");
    Ref iter(PyObject_GetIter(obj));
    if (!iter) return -1;
    Py_ssize_t cap = 16;
    Py_ssize_t n = 0;
    auto *buf = static_cast<uint8_t *>(PyMem_Malloc(cap));
    if (buf == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    for (;;) {
        Ref item(PyIter_Next(iter.get()));
        if (!item) break;
        uint8_t b;
        if (convert_u8(item.get(), &b) < 0) {
            PyMem_Free(buf);
            return -1;
        }
        if (n == cap) {
            auto *grown = static_cast<uint8_t *>(PyMem_Realloc(buf, cap * 2));
            if (grown == nullptr) {
                PyMem_Free(buf);
                PyErr_NoMemory();
                return -1;
            }
            buf = grown;
            cap *= 2;
        }
        buf[n++] = b;
    }
    if (PyErr_Occurred()) {
        PyMem_Free(buf);
        return -1;
    }
    out->data_ = buf;
    out->size_ = n;
    return 0;
}

}  // namespace kelvo
