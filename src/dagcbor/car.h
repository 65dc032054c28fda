// Splitting a CARv1 file held in memory into its sections.
#pragma once

#include "dagcbor/state.h"

namespace kelvo::dag {

// Reads sections from data[*pos] on (each an unsigned varint length, a binary CID and the
// block), at most `limit` of them, and returns a list of (CID, block bytes) tuples with *pos
// moved past the last one. A fault in a section after the first one read ends the list before
// it (the next call raises it); a fault in the first raises CBORDecodeError (CBORDecodeEOF when
// the data ends inside the section) naming the byte offset and the rule. Lengths are checked
// against the bytes left and against max_section before anything is made for them.
PyObject *car_sections(const ModuleState *st, const uint8_t *data, size_t size, size_t *pos, uint64_t max_section,
                       size_t limit);

// The type of the iterator over the sections of a CARv1 file held in memory (made with
// car_iter), yielding (CID, block bytes) as car_sections reads them, one at a time: a faulty
// section raises when it is reached, and ends the iteration.
extern PyType_Spec car_iter_spec;

// A new iterator (of the module's type st->car_iter) over the sections of the bytes `data` from
// `pos` on.
PyObject *car_iter(const ModuleState *st, PyObject *data, size_t pos, uint64_t max_section);

class KeyTable;

// Reads every section from data[pos] on and decodes its block as DAG-CBOR in place (offsets in
// errors are offsets in `data`). New dict {CID: value}, or NULL with CBORDecodeError naming the
// first fault.
PyObject *car_decode_blocks(const ModuleState *st, KeyTable *keys, const uint8_t *data, size_t size, size_t pos,
                            uint64_t max_section, bool strict);

}  // namespace kelvo::dag
