// What module execution asks of the other units.
#pragma once

#include "lib/pyref.h"

namespace kelvo {

// The static definition of a module function by name, or nullptr while that function
// does not exist yet.
PyMethodDef *module_function(const char *name);
// The type getter of a class by name, or nullptr while that class does not exist yet.
using TypeGetter = PyTypeObject *(*)();
TypeGetter module_class(const char *name);

// Appends `name` to the module's __all__ (creating the list when missing) and sets the
// attribute. Returns -1 with the exception set.
int add_to_module(PyObject *m, PyObject *name, PyObject *value);

// Registers frozendict with collections.abc.Mapping.
int register_frozendict_mapping();
// Creates `undefined`, adds it to the module and fills the singleton cell.
int add_undefined(PyObject *m);

}  // namespace kelvo
