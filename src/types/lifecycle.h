// Garbage-collector support and deallocation shared by the value types that own one
// object reference guarded by an access flag (a tag's value, a frozendict's items).
#pragma once

#include "lib/access.h"

namespace kelvo {

template <typename T, PyObject *T::*Field>
struct OwnedFieldLifecycle {
    static int traverse(PyObject *self, visitproc visit, void *arg) {
        Py_VISIT(Py_TYPE(self));
        T *obj = reinterpret_cast<T *>(self);
        TraverseAccess access(obj->access);
        if (!access.ok()) return 0;
        Py_VISIT(obj->*Field);
        return 0;
    }

    static int clear(PyObject *self) {
        Py_CLEAR(reinterpret_cast<T *>(self)->*Field);
        return 0;
    }

    // A chain of objects nested in each other is released through the interpreter's
    // trashcan, so its length is not bounded by the C stack.
    static void dealloc(PyObject *self) {
        PyTypeObject *tp = Py_TYPE(self);
        PyObject_GC_UnTrack(self);
        Py_TRASHCAN_BEGIN(self, dealloc) Py_CLEAR(reinterpret_cast<T *>(self)->*Field);
        tp->tp_free(self);
        Py_DECREF(tp);
        Py_TRASHCAN_END
    }
};

}  // namespace kelvo
