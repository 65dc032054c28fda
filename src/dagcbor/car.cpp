// car_sections: the section loop of the CAR reader, each length and CID checked where it
// stands before the block is copied out.
#include "dagcbor/car.h"

#include "dagcbor/cid.h"
#include "dagcbor/decode.h"
#include "dagcbor/keys.h"

#include <atomic>

namespace kelvo::dag {

namespace {

enum class VarintFault { none, cut_short, not_minimal, too_long };

[[gnu::always_inline]] inline VarintFault read_varint(const uint8_t *data, size_t size, size_t *pos, uint64_t *value) {
    uint64_t v = 0;
    for (unsigned i = 0; i < 9; ++i) {
        if (*pos >= size) return VarintFault::cut_short;
        const uint8_t b = data[(*pos)++];
        v |= static_cast<uint64_t>(b & 0x7f) << (7 * i);
        if ((b & 0x80) == 0) {
            if (b == 0 && i != 0) return VarintFault::not_minimal;
            *value = v;
            return VarintFault::none;
        }
    }
    return VarintFault::too_long;
}

// What is wrong with the section at data[*pos], or nullptr with *cid_len, *body and *end set.
// *eof tells a fault that more data could have mended.
const char *section_fault(const uint8_t *data, size_t size, size_t pos, uint64_t max_section, size_t *body,
                          size_t *cid_len, size_t *end, bool *eof) {
    uint64_t length;
    // Most sections are shorter than 16 KiB: a length of one or two bytes is read in place.
    if (size - pos >= 2 && data[pos] >= 0x80 && data[pos + 1] - 1u < 0x7f) {
        length = (data[pos] & 0x7fu) | uint64_t{data[pos + 1]} << 7;
        pos += 2;
    } else if (pos < size && data[pos] - 1u < 0x7f) {
        length = data[pos];
        pos += 1;
    } else {
        switch (read_varint(data, size, &pos, &length)) {
            case VarintFault::none:
                break;
            case VarintFault::cut_short:
                *eof = true;
                return "section length varint cut short";
            case VarintFault::not_minimal:
                return "section length varint not in its minimal form";
            case VarintFault::too_long:
                return "section length varint longer than nine bytes";
        }
    }
    if (length == 0) return "empty section";
    if (length > max_section) return "section over max_section_size";
    if (length > size - pos) {
        *eof = true;
        return "section longer than the rest of the input";
    }
    *body = pos;
    *end = pos + length;
    const uint8_t *s = data + pos;
    const size_t n = static_cast<size_t>(length);
    size_t c = 0;
    if (n >= 4 && s[0] == 0x01 && ((s[1] | s[2] | s[3]) & 0x80) == 0) {
        // The common CIDv1: codec, multihash code and digest length each one byte (a one-byte
        // varint is always minimal).
        if (s[3] > n - 4) return "section CID longer than its section";
        c = 4 + s[3];
    } else if (n >= 2 && s[0] == 0x12 && s[1] == 0x20) {
        c = 34;
    } else {
        uint64_t version, field, digest;
        if (read_varint(s, n, &c, &version) != VarintFault::none) return "section CID with a malformed varint";
        if (version != 1) return "section CID version other than 0 or 1";
        if (read_varint(s, n, &c, &field) != VarintFault::none || read_varint(s, n, &c, &field) != VarintFault::none ||
            read_varint(s, n, &c, &digest) != VarintFault::none)
            return "section CID with a malformed varint";
        if (digest > n - c) return "section CID longer than its section";
        c += static_cast<size_t>(digest);
    }
    // What was read is the whole check of a binary CID (a CIDv0's fixed form, or a CIDv1's
    // minimal varints and exact digest length): cid_fault would find nothing more.
    if (c > n) return "section CID longer than its section";
    *cid_len = c;
    return nullptr;
}

// The (CID, block bytes) tuple of a section that section_fault found sound. New reference or NULL.
PyObject *make_section(const ModuleState *st, const uint8_t *data, size_t body, size_t cid_len, size_t end) {
    Ref cid(make_cid(st, data + body, cid_len));
    if (!cid) return nullptr;
    PyObject *block = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(data + body + cid_len),
                                                static_cast<Py_ssize_t>(end - body - cid_len));
    if (block == nullptr) return nullptr;
    PyObject *pair = PyTuple_New(2);
    if (pair == nullptr) {
        Py_DECREF(block);
        return nullptr;
    }
    PyTuple_SET_ITEM(pair, 0, cid.release());
    PyTuple_SET_ITEM(pair, 1, block);
    return pair;
}

// One section read from data[*pos] and *pos moved past it, as a new (CID, block bytes) tuple;
// NULL with the fault raised (CBORDecodeEOF when more data could have mended it).
PyObject *read_section(const ModuleState *st, const uint8_t *data, size_t size, size_t *pos, uint64_t max_section) {
    size_t body = 0, cid_len = 0, end = 0;
    bool eof = false;
    const char *fault = section_fault(data, size, *pos, max_section, &body, &cid_len, &end, &eof);
    if (fault != nullptr) return raise_decode_fault(st, fault, *pos, eof);
    PyObject *pair = make_section(st, data, body, cid_len, end);
    if (pair != nullptr) *pos = end;
    return pair;
}

}  // namespace

PyObject *car_sections(const ModuleState *st, const uint8_t *data, size_t size, size_t *pos, uint64_t max_section,
                       size_t limit) {
    Ref out(PyList_New(0));
    if (!out) return nullptr;
    for (size_t count = 0; count < limit && *pos < size; ++count) {
        Ref pair(read_section(st, data, size, pos, max_section));
        if (!pair) {
            // A fault after the first section is left for the next call to raise.
            if (count != 0 && PyErr_ExceptionMatches(st->decode_error)) {
                PyErr_Clear();
                break;
            }
            return nullptr;
        }
        if (PyList_Append(out.get(), pair.get()) < 0) return nullptr;
    }
    return out.release();
}

namespace {

struct CarIterObject {
    PyObject_HEAD
    PyObject *data;         // bytes, owned
    const ModuleState *st;  // kept alive with the module, which the iterator's type holds
    uint64_t max_section;
    // Where the next section starts; the end of data once done or failed. Threads sharing the
    // iterator claim each section by moving it on (see claim_section).
    size_t pos;
};

// Claims the section at it->pos for the calling thread: its start in *at, with *body, *cid_len
// and *end set, or the fault that ends the iteration there (nullptr when there is none); false
// when no section is left. The bytes never change, so a section is read before it is claimed;
// without the GIL, threads sharing the iterator race to move the position past it, and the
// loser reads the next one.
bool claim_section(CarIterObject *it, const uint8_t *data, size_t size, size_t *at, size_t *body, size_t *cid_len,
                   size_t *end, const char **fault, bool *eof) {
#ifdef Py_GIL_DISABLED
    std::atomic_ref<size_t> pos(it->pos);
    size_t from = pos.load(std::memory_order_relaxed);
    for (;;) {
        if (from >= size) return false;
        *eof = false;
        *fault = section_fault(data, size, from, it->max_section, body, cid_len, end, eof);
        if (pos.compare_exchange_weak(from, *fault != nullptr ? size : *end, std::memory_order_relaxed)) break;
    }
    *at = from;
#else
    *at = it->pos;
    if (*at >= size) return false;
    *eof = false;
    *fault = section_fault(data, size, *at, it->max_section, body, cid_len, end, eof);
    it->pos = *fault != nullptr ? size : *end;
#endif
    return true;
}

PyObject *car_iter_next(PyObject *self) {
    auto *it = reinterpret_cast<CarIterObject *>(self);
    const auto *data = reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(it->data));
    const auto size = static_cast<size_t>(PyBytes_GET_SIZE(it->data));
    size_t at, body, cid_len, end;
    const char *fault;
    bool eof;
    if (!claim_section(it, data, size, &at, &body, &cid_len, &end, &fault, &eof)) return nullptr;
    if (fault != nullptr) return raise_decode_fault(it->st, fault, at, eof);
    PyObject *pair = make_section(it->st, data, body, cid_len, end);
    if (pair == nullptr) {
        // As after a fault, the iteration ends here.
#ifdef Py_GIL_DISABLED
        std::atomic_ref<size_t>(it->pos).store(size, std::memory_order_relaxed);
#else
        it->pos = size;
#endif
    }
    return pair;
}

void car_iter_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    Py_CLEAR(reinterpret_cast<CarIterObject *>(self)->data);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot car_iter_slots[] = {
    {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void *>(car_iter_next)},
    {Py_tp_dealloc, reinterpret_cast<void *>(car_iter_dealloc)},
    {Py_tp_doc, const_cast<char *>("Iterator over the (CID, block bytes) sections of a CARv1 file.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec car_iter_spec = {
    "kelvo._dagcbor.CarSections",
    sizeof(CarIterObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    car_iter_slots,
};

PyObject *car_iter(const ModuleState *st, PyObject *data, size_t pos, uint64_t max_section) {
    CarIterObject *it = PyObject_New(CarIterObject, st->car_iter);
    if (it == nullptr) return nullptr;
    it->data = Py_NewRef(data);
    it->st = st;
    it->max_section = max_section;
    it->pos = pos;
    return reinterpret_cast<PyObject *>(it);
}

PyObject *car_decode_blocks(const ModuleState *st, KeyTable *keys, const uint8_t *data, size_t size, size_t pos,
                            uint64_t max_section, bool strict) {
    Ref out(PyDict_New());
    if (!out) return nullptr;
    while (pos < size) {
        size_t body = 0, cid_len = 0, end = 0;
        bool eof = false;
        const char *fault = section_fault(data, size, pos, max_section, &body, &cid_len, &end, &eof);
        if (fault != nullptr) return raise_decode_fault(st, fault, pos, eof);
        Ref cid(make_cid(st, data + body, cid_len));
        if (!cid) return nullptr;
        // The block is decoded where it lies; its item must fill the rest of its section.
        size_t item_end;
        Ref value(decode_item(st, keys, data, end, body + cid_len, strict, &item_end));
        if (!value) return nullptr;
        if (item_end != end) return raise_decode_fault(st, "trailing bytes after the item", item_end);
        if (PyDict_SetItem(out.get(), cid.get(), value.get()) < 0) return nullptr;
        pos = end;
    }
    return out.release();
}

}  // namespace kelvo::dag
