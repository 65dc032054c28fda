// CIDBase: the immutable core of kelvo.dagcbor.CID (its bytes, hash and ordering), and the
// check that a byte string is a binary CID.
#include "dagcbor/cid.h"

#include <structmember.h>

#include <cstring>

namespace kelvo::dag {

namespace {

// Reads an unsigned varint of at most nine bytes in its minimal form. false when it is
// cut short, too long or carries a redundant zero final byte.
bool read_varint(const uint8_t *data, size_t size, size_t *pos, uint64_t *value) {
    uint64_t v = 0;
    for (unsigned i = 0; i < 9; ++i) {
        if (*pos >= size) return false;
        const uint8_t b = data[(*pos)++];
        v |= static_cast<uint64_t>(b & 0x7f) << (7 * i);
        if ((b & 0x80) == 0) {
            if (b == 0 && i != 0) return false;
            *value = v;
            return true;
        }
    }
    return false;
}

PyObject *cid_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    PyObject *raw;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
        PyErr_SetString(PyExc_TypeError, "CIDBase() takes no keyword arguments");
        return nullptr;
    }
    if (!PyArg_ParseTuple(args, "O!:CIDBase", &PyBytes_Type, &raw)) return nullptr;
    const char *fault = cid_fault(reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(raw)),
                                  static_cast<size_t>(PyBytes_GET_SIZE(raw)));
    if (fault != nullptr) {
        PyErr_Format(PyExc_ValueError, "not a binary CID: %s", fault);
        return nullptr;
    }
    Ref self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    reinterpret_cast<CIDObject *>(self.get())->raw = Py_NewRef(raw);
    return self.release();
}

void cid_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    Py_CLEAR(reinterpret_cast<CIDObject *>(self)->raw);
    type->tp_free(self);
    Py_DECREF(type);
}

Py_hash_t cid_hash(PyObject *self) { return PyObject_Hash(reinterpret_cast<CIDObject *>(self)->raw); }

PyObject *cid_richcompare(PyObject *a, PyObject *b, int op) {
    // Both operands are CIDs only when their types share this tp_richcompare.
    if (Py_TYPE(b)->tp_richcompare != cid_richcompare || Py_TYPE(a)->tp_richcompare != cid_richcompare)
        Py_RETURN_NOTIMPLEMENTED;
    PyObject *x = reinterpret_cast<CIDObject *>(a)->raw;
    PyObject *y = reinterpret_cast<CIDObject *>(b)->raw;
    const Py_ssize_t nx = PyBytes_GET_SIZE(x), ny = PyBytes_GET_SIZE(y);
    int c = memcmp(PyBytes_AS_STRING(x), PyBytes_AS_STRING(y), static_cast<size_t>(nx < ny ? nx : ny));
    if (c == 0) c = nx < ny ? -1 : nx > ny ? 1 : 0;
    Py_RETURN_RICHCOMPARE(c, 0, op);
}

PyMemberDef cid_members[] = {
    {"_bytes", Py_T_OBJECT_EX, offsetof(CIDObject, raw), Py_READONLY, "The binary CID."},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot cid_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(cid_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(cid_dealloc)},
    {Py_tp_hash, reinterpret_cast<void *>(cid_hash)},
    {Py_tp_richcompare, reinterpret_cast<void *>(cid_richcompare)},
    {Py_tp_members, cid_members},
    {Py_tp_doc, const_cast<char *>("CIDBase(raw, /)\n--\n\n"
                                   "The immutable core of a content identifier: its binary form, compared\n"
                                   "and hashed as bytes. Use kelvo.dagcbor.CID.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec cid_base_spec = {
    "kelvo._dagcbor.CIDBase",
    sizeof(CIDObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
    cid_slots,
};

const char *cid_fault(const uint8_t *data, size_t size) {
    // The common CIDv1: codec, multihash code and digest length each one byte (a one-byte
    // varint is always minimal), then exactly the digest.
    if (size >= 4 && data[0] == 0x01 && ((data[1] | data[2] | data[3]) & 0x80) == 0 && data[3] == size - 4)
        return nullptr;
    if (size >= 2 && data[0] == 0x12 && data[1] == 0x20) {
        if (size == 34) return nullptr;
        return "CIDv0 whose SHA-256 digest is not 32 bytes";
    }
    size_t pos = 0;
    uint64_t version, codec, hash_code, digest_size;
    if (!read_varint(data, size, &pos, &version)) return "CID with a malformed version varint";
    if (version != 1) return "CID version other than 0 or 1";
    if (!read_varint(data, size, &pos, &codec)) return "CID with a malformed codec varint";
    if (!read_varint(data, size, &pos, &hash_code)) return "CID with a malformed multihash code";
    if (!read_varint(data, size, &pos, &digest_size)) return "CID with a malformed digest length";
    if (digest_size != size - pos) return "CID digest length that does not match its bytes";
    return nullptr;
}

PyObject *make_cid(const ModuleState *st, const uint8_t *data, size_t size) {
    PyTypeObject *type = st->cid_class != nullptr ? st->cid_class : st->cid_base;
    Ref raw(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(data), static_cast<Py_ssize_t>(size)));
    if (!raw) return nullptr;
    // A class statement makes every subclass collectable, but a CID holds nothing but bytes
    // and can be part of no cycle: it is made without ever entering the collector's lists
    // (and without the zero fill of tp_alloc, since its one field is set at once).
    CIDObject *self = PyType_IS_GC(type) ? PyObject_GC_New(CIDObject, type) : PyObject_New(CIDObject, type);
    if (self == nullptr) return nullptr;
    self->raw = raw.release();
    return reinterpret_cast<PyObject *>(self);
}

}  // namespace kelvo::dag
