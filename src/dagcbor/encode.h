// The DAG-CBOR encoder: the profile's single byte form for every value it accepts.
#pragma once

#include "dagcbor/state.h"

namespace kelvo::dag {

// Encodes `obj` (dicts with str keys, lists and tuples, str, bytes, int in -2**64..2**64-1,
// finite float, bool, None and CIDs, nested at most kMaxDepth deep) with every map's keys in
// length-first bytewise order. New bytes object, or NULL with CBOREncodeTypeError or
// CBOREncodeValueError naming the value's type and its place in `obj`.
PyObject *encode(const ModuleState *st, PyObject *obj);

}  // namespace kelvo::dag
