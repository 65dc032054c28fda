// The CIDBase type (a content identifier held as its binary form) and the check of a binary CID.
#pragma once

#include "dagcbor/state.h"

namespace kelvo::dag {

// The binary CID (without the 0x00 prefix of tag 42) is held in the object itself, its length as
// the object's size: a CID is made in one allocation, and a bytes object of it only on demand.
struct CIDObject {
    PyObject_VAR_HEAD
    Py_hash_t hash;    // the hash of the bytes, -1 until first asked for
    PyObject *raw;     // bytes of the binary CID once asked for (owned), or nullptr
    uint8_t bytes[1];  // Py_SIZE(self) bytes
};

inline const uint8_t *cid_bytes(PyObject *cid) { return reinterpret_cast<CIDObject *>(cid)->bytes; }
inline size_t cid_size(PyObject *cid) { return static_cast<size_t>(Py_SIZE(cid)); }

extern PyType_Spec cid_base_spec;

// Whether data[0, size) is a binary CID: CIDv0 (a SHA-256 multihash, 12 20 + 32 bytes) or
// CIDv1 (varints version 1, codec, multihash code and digest length, then exactly that many
// bytes). nullptr when it is, otherwise the text of the rule it breaks.
const char *cid_fault(const uint8_t *data, size_t size);

// A new instance of the decoding class holding a copy of data[0, size), which must have passed
// cid_fault. New reference or NULL.
PyObject *make_cid(const ModuleState *st, const uint8_t *data, size_t size);

}  // namespace kelvo::dag
