// What module execution asks of the other units.
#pragma once

#include "lib/pyref.h"

namespace kelvo {

// Appends `name` to the module's __all__ (creating the list when missing) and sets the
// attribute. Returns -1 with the exception set.
int add_to_module(PyObject *m, PyObject *name, PyObject *value);

// Registers frozendict with collections.abc.Mapping.
int register_frozendict_mapping();
// Creates `undefined`, adds it to the module and fills the singleton cell.
int add_undefined(PyObject *m);

}  // namespace kelvo
