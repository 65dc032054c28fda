// car_sections: the section loop of the CAR reader, each length and CID checked where it
// stands before the block is copied out.
#include "dagcbor/car.h"

#include "dagcbor/cid.h"
#include "dagcbor/decode.h"
#include "dagcbor/keys.h"

namespace kelvo::dag {

namespace {

enum class VarintFault { none, cut_short, not_minimal, too_long };

VarintFault read_varint(const uint8_t *data, size_t size, size_t *pos, uint64_t *value) {
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
    if (n >= 2 && s[0] == 0x12 && s[1] == 0x20) {
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

}  // namespace

PyObject *car_sections(const ModuleState *st, const uint8_t *data, size_t size, size_t *pos, uint64_t max_section,
                       size_t limit) {
    Ref out(PyList_New(0));
    if (!out) return nullptr;
    for (size_t count = 0; count < limit && *pos < size; ++count) {
        size_t body = 0, cid_len = 0, end = 0;
        bool eof = false;
        const char *fault = section_fault(data, size, *pos, max_section, &body, &cid_len, &end, &eof);
        if (fault != nullptr) {
            if (count != 0) break;
            return raise_decode_fault(st, fault, *pos, eof);
        }
        Ref cid(make_cid(st, data + body, cid_len));
        if (!cid) return nullptr;
        Ref block(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(data + body + cid_len),
                                            static_cast<Py_ssize_t>(end - body - cid_len)));
        if (!block) return nullptr;
        Ref pair(PyTuple_Pack(2, cid.get(), block.get()));
        if (!pair || PyList_Append(out.get(), pair.get()) < 0) return nullptr;
        *pos = end;
    }
    return out.release();
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
