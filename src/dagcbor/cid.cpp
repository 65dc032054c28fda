// CIDBase: the immutable core of kelvo.dagcbor.CID (its bytes, hash and ordering), and the
// check that a byte string is a binary CID.
#include "dagcbor/cid.h"

#include <atomic>
#include <cstddef>
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

// Fills a CID just allocated for `size` bytes with a copy of data[0, size); NULL when it was
// not allocated.
PyObject *fill_cid(CIDObject *self, const uint8_t *data, size_t size) {
    if (self == nullptr) return nullptr;
    self->hash = -1;
    self->raw = nullptr;
    memcpy(self->bytes, data, size);
    return reinterpret_cast<PyObject *>(self);
}

// A new instance of `type` (CIDBase, or the decoding class, which adds no field) holding a copy
// of data[0, size). New reference or NULL.
PyObject *new_cid(PyTypeObject *type, const uint8_t *data, size_t size) {
    // A class statement makes every subclass collectable, but a CID holds nothing that can be
    // part of a cycle: it is made without ever entering the collector's lists (and without the
    // zero fill of tp_alloc, since its fields are set at once).
    const auto n = static_cast<Py_ssize_t>(size);
    return fill_cid(PyType_IS_GC(type) ? PyObject_GC_NewVar(CIDObject, type, n) : PyObject_NewVar(CIDObject, type, n),
                    data, size);
}

PyObject *cid_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    PyObject *raw;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
        PyErr_SetString(PyExc_TypeError, "CIDBase() takes no keyword arguments");
        return nullptr;
    }
    if (!PyArg_ParseTuple(args, "O!:CIDBase", &PyBytes_Type, &raw)) return nullptr;
    const auto *data = reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(raw));
    const auto size = static_cast<size_t>(PyBytes_GET_SIZE(raw));
    const char *fault = cid_fault(data, size);
    if (fault != nullptr) {
        PyErr_Format(PyExc_ValueError, "not a binary CID: %s", fault);
        return nullptr;
    }
    // tp_alloc, which a subclass of kelvo.dagcbor.CID (one with instance fields, say) needs.
    return fill_cid(reinterpret_cast<CIDObject *>(type->tp_alloc(type, static_cast<Py_ssize_t>(size))), data, size);
}

void cid_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    Py_CLEAR(reinterpret_cast<CIDObject *>(self)->raw);
    type->tp_free(self);
    Py_DECREF(type);
}

// The hash of the binary CID, the same as its bytes object's. Threads that race to compute it
// store the same value.
Py_hash_t cid_hash(PyObject *self) {
    auto *cid = reinterpret_cast<CIDObject *>(self);
#ifdef Py_GIL_DISABLED
    std::atomic_ref<Py_hash_t> cached(cid->hash);
    Py_hash_t h = cached.load(std::memory_order_relaxed);
#else
    Py_hash_t h = cid->hash;
#endif
    if (h != -1) return h;
    h = PyHash_GetFuncDef()->hash(cid->bytes, Py_SIZE(self));
    if (h == -1) h = -2;
#ifdef Py_GIL_DISABLED
    cached.store(h, std::memory_order_relaxed);
#else
    cid->hash = h;
#endif
    return h;
}

PyObject *cid_richcompare(PyObject *a, PyObject *b, int op) {
    // Both operands are CIDs only when their types share this tp_richcompare.
    if (Py_TYPE(b)->tp_richcompare != cid_richcompare || Py_TYPE(a)->tp_richcompare != cid_richcompare)
        Py_RETURN_NOTIMPLEMENTED;
    const size_t nx = cid_size(a), ny = cid_size(b);
    int c = memcmp(cid_bytes(a), cid_bytes(b), nx < ny ? nx : ny);
    if (c == 0) c = nx < ny ? -1 : nx > ny ? 1 : 0;
    Py_RETURN_RICHCOMPARE(c, 0, op);
}

// The binary CID as bytes, made on first use and kept; threads that race to make it keep the
// first one stored.
PyObject *cid_get_bytes(PyObject *self, void *) {
    auto *cid = reinterpret_cast<CIDObject *>(self);
#ifdef Py_GIL_DISABLED
    std::atomic_ref<PyObject *> slot(cid->raw);
    PyObject *raw = slot.load(std::memory_order_acquire);
#else
    PyObject *raw = cid->raw;
#endif
    if (raw != nullptr) return Py_NewRef(raw);
    raw = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(cid->bytes), Py_SIZE(self));
    if (raw == nullptr) return nullptr;
#ifdef Py_GIL_DISABLED
    PyObject *expected = nullptr;
    if (!slot.compare_exchange_strong(expected, raw, std::memory_order_acq_rel, std::memory_order_acquire)) {
        Py_DECREF(raw);
        return Py_NewRef(expected);
    }
#else
    cid->raw = raw;
#endif
    return Py_NewRef(raw);
}

PyGetSetDef cid_getset[] = {
    {"_bytes", cid_get_bytes, nullptr, "The binary CID.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot cid_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(cid_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(cid_dealloc)},
    {Py_tp_hash, reinterpret_cast<void *>(cid_hash)},
    {Py_tp_richcompare, reinterpret_cast<void *>(cid_richcompare)},
    {Py_tp_getset, cid_getset},
    {Py_tp_doc, const_cast<char *>("CIDBase(raw, /)\n--\n\n"
                                   "The immutable core of a content identifier: its binary form, compared\n"
                                   "and hashed as bytes. Use kelvo.dagcbor.CID.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec cid_base_spec = {
    "kelvo._dagcbor.CIDBase",
    offsetof(CIDObject, bytes),
    1,
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
    return new_cid(st->cid_class != nullptr ? st->cid_class : st->cid_base, data, size);
}

}  // namespace kelvo::dag
