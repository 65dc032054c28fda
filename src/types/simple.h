// CBORSimpleValue and the undefined singleton.
#pragma once

#include "lib/pyref.h"

#include <cstdint>

namespace kelvo {

struct SimpleValueObject {
    PyObject_HEAD
    uint8_t value;
};

PyTypeObject *simple_value_type();
bool is_simple_value(PyObject *obj);
// New simple value without the range check (the decoder has checked it). New reference.
PyObject *new_simple_value(uint8_t value);

PyTypeObject *undefined_type();
// The process-wide undefined singleton (borrowed; filled by module initialisation).
PyObject *undefined_singleton();
// True when `obj` is exactly an UndefinedType instance.
bool is_undefined(PyObject *obj);

}  // namespace kelvo
