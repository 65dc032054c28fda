// String-reference tables: strings already written in the current namespace (tags 25
// and 256), and the namespaces that replace them for a while.
#include "encoder/probe_table.h"
#include "encoder/writer.h"
#include "lib/cbor.h"

#include <cstring>

namespace kelvo {

// Open addressing keyed by the string's content (owned copies), with the str or bytes
// object's own hash so that equal strings meet in one probe run.
struct StringTable {
    struct Slot {
        uint8_t *key;  // nullptr: empty slot
        size_t len;
        Py_hash_t hash;
        uint64_t index;
    };
    Slot *slots;
    size_t mask;
    size_t count;
};

namespace {

size_t table_count(const StringTable *t) { return t != nullptr ? t->count : 0; }

StringTable::Slot *table_probe(StringTable *t, Py_hash_t hash, const char *data, size_t n) {
    size_t i = static_cast<size_t>(hash) & t->mask;
    for (;; i = (i + 1) & t->mask) {
        StringTable::Slot &s = t->slots[i];
        if (s.key == nullptr) return &s;
        if (s.hash == hash && s.len == n && memcmp(s.key, data, n) == 0) return &s;
    }
}

int table_grow(StringTable *t) {
    return grow_probe_table(
        t, [](const StringTable::Slot &s) { return s.key == nullptr; },
        [](const StringTable::Slot &s, size_t mask) { return static_cast<size_t>(s.hash) & mask; });
}

// Numbers `data` with `index`. The table is created when missing.
int table_insert(StringTable *&t, Py_hash_t hash, const char *data, size_t n, uint64_t index) {
    if (t == nullptr) {
        t = static_cast<StringTable *>(PyMem_Calloc(1, sizeof(StringTable)));
        if (t == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
    }
    if (t->slots == nullptr || 2 * (t->count + 1) > t->mask + 1) {
        if (table_grow(t) < 0) return -1;
    }
    auto *key = static_cast<uint8_t *>(PyMem_Malloc(n));
    if (key == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    memcpy(key, data, n);
    StringTable::Slot *s = table_probe(t, hash, data, n);
    *s = {key, n, hash, index};
    t->count += 1;
    return 0;
}

// The shortest string worth numbering with index `n`: the size of the reference that
// would replace it (tag 25 header plus the index's header).
size_t min_length(uint64_t n) {
    if (n < 24) return 3;
    if (n <= 0xff) return 4;
    if (n <= 0xffff) return 5;
    if (n <= 0xffffffffu) return 7;
    return 11;
}

void table_release(StringTable *t) {
    if (t == nullptr) return;
    if (t->slots != nullptr)
        for (size_t i = 0; i <= t->mask; ++i) PyMem_Free(t->slots[i].key);
    PyMem_Free(t->slots);
    PyMem_Free(t);
}

}  // namespace

void string_tables_clear(StringTable *&table) {
    StringTable *t = table;
    if (t == nullptr || t->count == 0) return;
    for (size_t i = 0; i <= t->mask; ++i) {
        PyMem_Free(t->slots[i].key);
        t->slots[i].key = nullptr;
    }
    t->count = 0;
}

void string_tables_free(StringTable *&table) {
    table_release(table);
    table = nullptr;
}

void namespace_push(EncoderObject *enc, NamespaceSave &save, bool opens) {
    save = {enc->text_refs, enc->byte_refs, enc->in_namespace};
    enc->text_refs = nullptr;
    enc->byte_refs = nullptr;
    enc->in_namespace = opens;
}

void namespace_pop(EncoderObject *enc, NamespaceSave &save) {
    string_tables_free(enc->text_refs);
    string_tables_free(enc->byte_refs);
    enc->text_refs = save.text;
    enc->byte_refs = save.bytes;
    enc->in_namespace = save.in_namespace;
    save = {nullptr, nullptr, false};
}

void namespace_discard(NamespaceSave &save) {
    table_release(save.text);
    table_release(save.bytes);
    save = {nullptr, nullptr, false};
}

int string_reference(Ctx &c, PyObject *obj, bool text, const char *data, size_t n) {
    // Shorter strings are never numbered, so they are never found either.
    if (n < 3) return 0;
    EncoderObject *enc = c.enc;
    // The base type's hash: a subclass's __hash__ is not consulted.
    Py_hash_t hash = text ? PyUnicode_Type.tp_hash(obj) : PyBytes_Type.tp_hash(obj);
    if (hash == -1 && PyErr_Occurred()) return -1;
    StringTable *&table = text ? enc->text_refs : enc->byte_refs;
    if (table != nullptr && table->count > 0) {
        StringTable::Slot *s = table_probe(table, hash, data, n);
        if (s->key != nullptr) {
            uint64_t index = s->index;
            if (enc->encoders == nullptr && enc->depth > 0) {
                // What encode_semantic(25, index) writes when no `encoders` entry can
                // take the index and the nested encode() is not the outermost one.
                if (put_header(enc, cbor::kTag, cbor::tag::kStringReference) < 0 ||
                    put_header(enc, cbor::kUnsigned, index) < 0)
                    return -1;
                return 1;
            }
            Ref number(PyLong_FromUnsignedLongLong(index));
            if (!number) return -1;
            return write_semantic(c, cbor::tag::kStringReference, number.get()) < 0 ? -1 : 1;
        }
    }
    uint64_t next = table_count(enc->text_refs) + table_count(enc->byte_refs);
    if (n >= min_length(next) && table_insert(table, hash, data, n, next) < 0) return -1;
    return 0;
}

}  // namespace kelvo
