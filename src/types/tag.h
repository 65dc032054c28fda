// CBORTag: a semantic tag number and its enclosed value.
#pragma once

#include "lib/access.h"

#include <cstdint>

namespace kelvo {

struct TagObject {
    PyObject_HEAD
    uint64_t tag;
    // 1 while a tag made by `CBORTag._restore` waits for its value from `__setstate__`;
    // the access flag is held exclusively all that time, so nothing can read it.
    uint32_t pending;
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
