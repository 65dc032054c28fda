// Writer: the typed encoder's fast path for plain containers, scalars and plain class instances.
#pragma once

#include "typed/semantic.h"

namespace kelvo::typed {

// The encoding of `value` as dumps (default options) writes it with every instance of a class
// in `table` (class -> (attribute names, wire keys, as_array)) replaced by the dict (or list)
// of its fields; exact datetimes, dates, UUIDs and Decimals are written as dumps writes them,
// other values by `dumps` alone. None when the writer gives up
// (the caller then takes the general path); NULL with the exception set on failure.
PyObject *write_plain(PyObject *value, PyObject *table, PyObject *dumps, Py_ssize_t max_depth, const SemanticKit &kit);

}  // namespace kelvo::typed
