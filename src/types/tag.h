// CBORTag: a semantic tag number and its enclosed value.
#pragma once

#include "lib/access.h"

#include <cstdint>

namespace kelvo {

struct TagObject {
    PyObject_HEAD
    uint64_t tag;
    PyObject *value;
    AccessFlag access;
};

// Borrowed type object (created on first use), or NULL with the exception set.
PyTypeObject *tag_type();
// True when `obj` is a CBORTag (the class is final: an exact type test).
bool is_tag(PyObject *obj);
// New tag holding `value` (borrowed; nullptr stands for None). New reference or NULL.
PyObject *new_cbortag(uint64_t tag, PyObject *value);
// Replaces the value of a tag the decoder is completing. -1 (internal error) when the
// tag cannot be taken exclusively.
int set_tag_value(PyObject *tag, PyObject *value);

}  // namespace kelvo
