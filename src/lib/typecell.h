// Process-wide type objects built once from their specs.
#pragma once

#include "lib/once.h"

namespace kelvo {

struct TypeCell {
    OnceState once;
    PyType_Spec *spec;
    PyObject *value;
};

// Borrowed type object, created from the spec on first use, or NULL with the exception.
inline PyTypeObject *type_from_cell(TypeCell &cell) {
    PyObject *t = once_object(cell.once, cell.value, [&]() { return PyType_FromSpec(cell.spec); });
    return reinterpret_cast<PyTypeObject *>(t);
}

// The flags every class of the module uses: garbage-collected, final, no dict or weakrefs.
constexpr unsigned long kClassFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;

}  // namespace kelvo
