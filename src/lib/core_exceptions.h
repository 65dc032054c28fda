// The exception classes of _kelvo, taken by the package's other native modules so that
// their errors are the ones users already catch.
#pragma once

#include "lib/pyref.h"

#include <initializer_list>

namespace kelvo {

struct CoreException {
    const char *name;  // an attribute of _kelvo, e.g. "CBORDecodeError"
    PyObject **slot;   // receives a new reference to it
};

// Fills each slot with the named exception class of _kelvo. -1 with the exception set.
inline int import_core_exceptions(std::initializer_list<CoreException> wanted) {
    Ref core(PyImport_ImportModule("_kelvo"));
    if (!core) return -1;
    for (const CoreException &w : wanted) {
        PyObject *t = PyObject_GetAttrString(core.get(), w.name);
        if (t == nullptr) return -1;
        if (!PyExceptionClass_Check(t)) {
            Py_DECREF(t);
            PyErr_Format(PyExc_TypeError, "_kelvo.%s is not an exception class", w.name);
            return -1;
        }
        replace_field(*w.slot, t);
    }
    return 0;
}

}  // namespace kelvo
