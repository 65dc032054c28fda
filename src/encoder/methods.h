// The CBOREncoder methods defined outside encoder.cpp (vectorcall signatures); those that
// write one value through a tag codec are rows of the tag registry (tags/registry.h).
#pragma once

#include "encoder/encoder.h"
#include "lib/args.h"
#include "lib/pyref.h"

namespace kelvo {

#define KELVO_ENCODER_METHOD(name) PyObject *meth_##name(PyObject *, PyObject *const *, Py_ssize_t, PyObject *)
KELVO_ENCODER_METHOD(encode_length);
KELVO_ENCODER_METHOD(encode_int);
KELVO_ENCODER_METHOD(encode_bytes);
KELVO_ENCODER_METHOD(encode_bytearray);
KELVO_ENCODER_METHOD(encode_string);
KELVO_ENCODER_METHOD(encode_bool);
KELVO_ENCODER_METHOD(encode_none);
KELVO_ENCODER_METHOD(encode_undefined);
KELVO_ENCODER_METHOD(encode_break);
KELVO_ENCODER_METHOD(encode_simple_value);
KELVO_ENCODER_METHOD(encode_float);
KELVO_ENCODER_METHOD(encode_semantic);
KELVO_ENCODER_METHOD(encode_value);
KELVO_ENCODER_METHOD(encode_array);
KELVO_ENCODER_METHOD(encode_map);
KELVO_ENCODER_METHOD(encode_set);
KELVO_ENCODER_METHOD(encode_frozenset);
KELVO_ENCODER_METHOD(encode_sortable_key);
KELVO_ENCODER_METHOD(encode_sortable_item);
#undef KELVO_ENCODER_METHOD

// The method form of an encoder of one object: `name(obj)`, returning None.
template <const ArgumentSpec &Spec, int (*Encode)(EncoderObject *, PyObject *)>
PyObject *encoder_obj_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *obj;
    if (parse_arguments(Spec, args, nargs, kwnames, &obj) < 0) return nullptr;
    if (Encode(reinterpret_cast<EncoderObject *>(self), obj) < 0) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace kelvo
