// frozendict: an immutable, hashable mapping around a private dict.
#pragma once

#include "lib/access.h"

namespace kelvo {

struct FrozenDictObject {
    PyObject_HEAD
    PyObject *dict;  // the private items dict, never exposed
    Py_hash_t hash;  // cached hash; -1 while not computed (published atomically)
    AccessFlag access;
};

PyTypeObject *frozendict_type();
bool is_frozendict(PyObject *obj);
// Builds a frozendict from `n` (key, value) pairs given as consecutive borrowed
// references keys_values[2*i], keys_values[2*i+1]; later equal keys replace the value.
PyObject *frozendict_from_pairs(PyObject *const *keys_values, Py_ssize_t n);
// Wraps an existing dict (steals the reference; the dict must not be shared).
PyObject *frozendict_from_dict(PyObject *dict);

}  // namespace kelvo
