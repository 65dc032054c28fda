// The state of kelvo._dagcbor shared by its encoder, decoder and CID type.
#pragma once

#include "lib/pyref.h"

#include <cstddef>
#include <cstdint>

namespace kelvo::dag {

struct ModuleState {
    // The exception types come from _kelvo, so that callers catch one hierarchy.
    PyObject *decode_error;        // CBORDecodeError
    PyObject *decode_eof;          // CBORDecodeEOF
    PyObject *encode_type_error;   // CBOREncodeTypeError
    PyObject *encode_value_error;  // CBOREncodeValueError
    PyTypeObject *cid_base;        // CIDBase, defined here
    // The class tag-42 items decode to (kelvo.dagcbor.CID, a subclass of CIDBase without
    // instance dictionary). Set once while kelvo.dagcbor is imported, before any decoding.
    PyTypeObject *cid_class;
    PyObject *key_table_name;  // str: where each thread state's dictionary keeps its key table
    PyTypeObject *car_iter;    // the iterator over a CAR file's sections

    template <class F>
    void for_each_ref(F &&f) {
        f(decode_error);
        f(decode_eof);
        f(encode_type_error);
        f(encode_value_error);
        f(cid_base);
        f(cid_class);
        f(key_table_name);
        f(car_iter);
    }
};

// Containers nested deeper than this are refused both ways, so that the C stack stays bounded.
constexpr int kMaxDepth = 1024;

}  // namespace kelvo::dag
