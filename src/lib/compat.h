// The few C API calls that only CPython 3.14 provides, with local fallbacks for 3.13.
#pragma once

#include "lib/pyref.h"

#include <cstdint>

#if PY_VERSION_HEX >= 0x030E0000
#define KELVO_NATIVE_314 1
#else
#define KELVO_NATIVE_314 0
#endif

namespace kelvo::compat {

#if KELVO_NATIVE_314

using UnicodeWriter = PyUnicodeWriter;
inline UnicodeWriter *unicode_writer_create(Py_ssize_t length) { return PyUnicodeWriter_Create(length); }
inline int unicode_writer_write_str(UnicodeWriter *w, PyObject *obj) { return PyUnicodeWriter_WriteStr(w, obj); }
inline int unicode_writer_write_repr(UnicodeWriter *w, PyObject *obj) { return PyUnicodeWriter_WriteRepr(w, obj); }
inline int unicode_writer_write_utf8(UnicodeWriter *w, const char *s, Py_ssize_t n) {
    return PyUnicodeWriter_WriteUTF8(w, s, n);
}
inline PyObject *unicode_writer_finish(UnicodeWriter *w) { return PyUnicodeWriter_Finish(w); }
inline void unicode_writer_discard(UnicodeWriter *w) { PyUnicodeWriter_Discard(w); }

// Reads an int as a machine word when it fits; otherwise reports that it does not.
// Returns 1 with *value set, 0 when the value needs more than 64 bits, -1 on error.
inline int long_as_int64(PyObject *obj, int64_t *value) {
    PyLongExport e;
    if (PyLong_Export(obj, &e) < 0) return -1;
    if (e.digits == nullptr) {
        *value = e.value;
        return 1;
    }
    PyLong_FreeExport(&e);
    return 0;
}

#else

// 3.13: a minimal writer built on a list of pieces joined at the end.
struct UnicodeWriter {
    PyObject *parts;
};
inline UnicodeWriter *unicode_writer_create(Py_ssize_t) {
    auto *w = static_cast<UnicodeWriter *>(PyMem_Malloc(sizeof(UnicodeWriter)));
    if (w == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    w->parts = PyList_New(0);
    if (w->parts == nullptr) {
        PyMem_Free(w);
        return nullptr;
    }
    return w;
}
inline int unicode_writer_append_owned(UnicodeWriter *w, PyObject *s) {
    if (s == nullptr) return -1;
    int rc = PyList_Append(w->parts, s);
    Py_DECREF(s);
    return rc;
}
inline int unicode_writer_write_str(UnicodeWriter *w, PyObject *obj) {
    return unicode_writer_append_owned(w, PyObject_Str(obj));
}
inline int unicode_writer_write_repr(UnicodeWriter *w, PyObject *obj) {
    return unicode_writer_append_owned(w, PyObject_Repr(obj));
}
inline int unicode_writer_write_utf8(UnicodeWriter *w, const char *s, Py_ssize_t n) {
    return unicode_writer_append_owned(w, PyUnicode_DecodeUTF8(s, n, "strict"));
}
inline void unicode_writer_discard(UnicodeWriter *w) {
    if (w == nullptr) return;
    Py_XDECREF(w->parts);
    PyMem_Free(w);
}
inline PyObject *unicode_writer_finish(UnicodeWriter *w) {
    PyObject *empty = PyUnicode_FromStringAndSize("", 0);
    PyObject *result = empty ? PyUnicode_Join(empty, w->parts) : nullptr;
    Py_XDECREF(empty);
    unicode_writer_discard(w);
    return result;
}

inline int long_as_int64(PyObject *obj, int64_t *value) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (v == -1 && PyErr_Occurred()) return -1;
    if (overflow != 0) return 0;
    *value = v;
    return 1;
}

#endif

// A dict of n keys and values, in order (a later duplicate key replaces the earlier value).
// 3.13 builds export the interpreter's own constructor for a map display, though only its
// internal headers declare it; elsewhere the public calls do the same.
#if PY_VERSION_HEX < 0x030E0000
}  // namespace kelvo::compat
extern "C" PyObject *_PyDict_FromItems(PyObject *const *keys, Py_ssize_t keys_offset, PyObject *const *values,
                                       Py_ssize_t values_offset, Py_ssize_t length);
namespace kelvo::compat {
inline PyObject *dict_from_items(PyObject *const *keys, PyObject *const *values, Py_ssize_t n) {
    return _PyDict_FromItems(keys, 1, values, 1, n);
}
#else
inline PyObject *dict_from_items(PyObject *const *keys, PyObject *const *values, Py_ssize_t n) {
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyDict_SetItem(dict.get(), keys[i], values[i]) < 0) return nullptr;
    return dict.release();
}
#endif

}  // namespace kelvo::compat
