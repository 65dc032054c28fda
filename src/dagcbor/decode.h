// The DAG-CBOR decoder: one pass over the input that builds Python values and refuses every
// departure from the profile with CBORDecodeError naming the byte offset and the rule.
#pragma once

#include "dagcbor/state.h"

namespace kelvo::dag {

class KeyTable;

// Decodes the item that starts at data[start] and sets *end past it; map keys come from
// `keys` when it is not nullptr. With `strict` false, the
// leniencies allowed for historical data apply: map keys in any order, integers, lengths and
// tag heads not in their shortest form, and half- and single-precision floats. New reference,
// or NULL with CBORDecodeError (CBORDecodeEOF when the data ends inside the item) carrying the
// fault as its `offset` and `rule` attributes.
PyObject *decode_item(const ModuleState *st, KeyTable *keys, const uint8_t *data, size_t size, size_t start,
                      bool strict, size_t *end);

// Raises the decoding error for a rule broken at a byte offset (CBORDecodeEOF when `eof`).
// Always NULL.
PyObject *raise_decode_fault(const ModuleState *st, const char *rule, size_t at, bool eof = false);

}  // namespace kelvo::dag
