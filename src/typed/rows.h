// Rows of the class table shared by the typed encoder's native parts: how to read one plain
// class's fields and under which keys they are written.
#pragma once

#include "lib/pyref.h"

namespace kelvo::typed {

// A row is (attribute names, wire keys, as_array, slot descriptors, key encodings): the
// descriptors are the member descriptors of slotted fields (read without looking the name up)
// or None, the encodings each key as dumps writes it.
struct Row {
    PyObject *names;    // tuple of str
    PyObject *keys;     // tuple, as long as names
    PyObject *members;  // tuple, as long as names
    PyObject *encoded;  // tuple of bytes, as long as names
    bool as_array;
    Py_ssize_t n;
};

// Fills `out` from a table row (borrowed references); false with TypeError set when the row
// does not have that form.
inline bool read_row(PyObject *row, Row &out) {
    if (!PyTuple_Check(row) || PyTuple_GET_SIZE(row) != 5 || !PyTuple_Check(PyTuple_GET_ITEM(row, 0)) ||
        !PyTuple_Check(PyTuple_GET_ITEM(row, 1)) || !PyTuple_Check(PyTuple_GET_ITEM(row, 3)) ||
        !PyTuple_Check(PyTuple_GET_ITEM(row, 4)) ||
        PyTuple_GET_SIZE(PyTuple_GET_ITEM(row, 0)) != PyTuple_GET_SIZE(PyTuple_GET_ITEM(row, 1)) ||
        PyTuple_GET_SIZE(PyTuple_GET_ITEM(row, 0)) != PyTuple_GET_SIZE(PyTuple_GET_ITEM(row, 3)) ||
        PyTuple_GET_SIZE(PyTuple_GET_ITEM(row, 0)) != PyTuple_GET_SIZE(PyTuple_GET_ITEM(row, 4))) {
        PyErr_SetString(PyExc_TypeError, "a class table row is (names, keys, as_array, members, encoded keys)");
        return false;
    }
    out.names = PyTuple_GET_ITEM(row, 0);
    out.keys = PyTuple_GET_ITEM(row, 1);
    out.as_array = PyTuple_GET_ITEM(row, 2) == Py_True;
    out.members = PyTuple_GET_ITEM(row, 3);
    out.encoded = PyTuple_GET_ITEM(row, 4);
    out.n = PyTuple_GET_SIZE(out.names);
    return true;
}

// The value of field i of `obj` (new reference, or NULL with the exception set). A slot is
// read through its member definition, as the descriptor itself would, when the descriptor
// belongs to obj's type or a base of it.
inline PyObject *field_value(const Row &row, Py_ssize_t i, PyObject *obj) {
    PyObject *member = PyTuple_GET_ITEM(row.members, i);
    if (Py_IS_TYPE(member, &PyMemberDescr_Type)) {
        auto *descr = reinterpret_cast<PyMemberDescrObject *>(member);
        if (PyObject_TypeCheck(obj, descr->d_common.d_type))
            return PyMember_GetOne(reinterpret_cast<const char *>(obj), descr->d_member);
    }
    return PyObject_GetAttr(obj, PyTuple_GET_ITEM(row.names, i));
}

}  // namespace kelvo::typed
