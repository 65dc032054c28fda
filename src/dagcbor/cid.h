// The CIDBase type (a content identifier held as its binary form) and the check of a binary CID.
#pragma once

#include "dagcbor/state.h"

namespace kelvo::dag {

struct CIDObject {
    PyObject_HEAD
    PyObject *raw;  // bytes: the binary CID (without the 0x00 prefix of tag 42)
};

extern PyType_Spec cid_base_spec;

// Whether data[0, size) is a binary CID: CIDv0 (a SHA-256 multihash, 12 20 + 32 bytes) or
// CIDv1 (varints version 1, codec, multihash code and digest length, then exactly that many
// bytes). nullptr when it is, otherwise the text of the rule it breaks.
const char *cid_fault(const uint8_t *data, size_t size);

// A new instance of the decoding class holding a copy of data[0, size), which must have passed
// cid_fault. New reference or NULL.
PyObject *make_cid(const ModuleState *st, const uint8_t *data, size_t size);

}  // namespace kelvo::dag
