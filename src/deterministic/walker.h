// One linear pass over an encoded CBOR item that holds it to the core deterministic rules,
// either to refuse what breaks them or to put map entries and set members in bytewise order.
#pragma once

#include "lib/pyref.h"

#include <cstddef>
#include <cstdint>

namespace kelvo::det {

// The exception types the pass raises, borrowed from the module state.
struct ErrorTypes {
    PyObject *decode_error;        // CBORDecodeError
    PyObject *decode_eof;          // CBORDecodeEOF
    PyObject *encode_value_error;  // CBOREncodeValueError
};

// Reads the item in data[0, size) and raises CBORDecodeError naming the byte offset and the
// rule at the first place where the bytes are not well-formed or not in deterministic form
// (CBORDecodeEOF when they end inside the item); the exception also carries them as its
// `offset` and `rule` attributes. 0 when they pass, -1 with the exception set.
// *keys_may_compare_equal tells whether some map key holds a float, a boolean or a tag, so
// that distinct keys may decode to equal Python values.
int check_deterministic(const ErrorTypes &errors, const uint8_t *data, size_t size, bool *keys_may_compare_equal);

// The same check for a CBOR sequence: any number of items back to back, each in deterministic
// form. Returns the number of items, or -1 with the exception set.
Py_ssize_t check_deterministic_sequence(const ErrorTypes &errors, const uint8_t *data, size_t size);

// Takes one item in preferred serialization apart from float widths and map and set order
// (what the encoder writes, canonical or not) and returns it in deterministic form: every
// float in its shortest exact width, every map's entries and every tag-258 array's members
// in the bytewise order of their encodings. The result is `encoded` itself when nothing
// changes, otherwise a new bytes object. Entries or members that encode identically, and any
// other departure from deterministic form, raise CBOREncodeValueError. New reference or NULL.
PyObject *make_deterministic(const ErrorTypes &errors, PyObject *encoded);

}  // namespace kelvo::det
