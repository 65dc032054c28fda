// The per-thread key table: made on a thread's first decode, released with its thread state.
#include "dagcbor/keys.h"

#include <atomic>
#include <new>

namespace kelvo::dag {

namespace {

// The table last found by each thread, for the thread state it was found in: the lookup in the
// thread-state dictionary is then skipped. Any table's release moves the generation on, so
// that no thread uses a remembered table that may be gone (a thread state can be freed and
// another made at the same address).
struct LastTable {
    PyThreadState *tstate = nullptr;
    KeyTable *table = nullptr;
    uint64_t generation = 0;
};
thread_local LastTable t_last;
std::atomic<uint64_t> g_generation{1};

void release_table(PyObject *capsule) {
    auto *table = static_cast<KeyTable *>(PyCapsule_GetPointer(capsule, nullptr));
    if (table == nullptr) {
        PyErr_Clear();
        return;
    }
    g_generation.fetch_add(1, std::memory_order_acq_rel);
    table->clear();
    table->~KeyTable();
    PyMem_RawFree(table);
}

}  // namespace

namespace {

constexpr uint64_t kHighBits = 0x8080808080808080ull;

// The first byte at or after i that has its high bit set (n when there is none).
inline size_t skip_ascii(const uint8_t *p, size_t i, size_t n) {
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        memcpy(&w, p + i, 8);
        if ((w & kHighBits) != 0) return i + static_cast<size_t>(__builtin_ctzll(w & kHighBits) >> 3);
    }
    while (i < n && p[i] < 0x80) ++i;
    return i;
}

inline bool continuation(uint8_t b) { return (b & 0xc0) == 0x80; }

// The storage width a str needs for the well-formed UTF-8 at p[0, n), with the number of code
// points in *count; 0 when the bytes are not well-formed UTF-8 (overlong forms, encoded
// surrogates and code points past U+10FFFF are not). The width follows from the lead bytes
// alone: C2 and C3 begin U+0080..U+00FF, later two-byte leads U+0100..U+07FF, three-byte
// sequences stay below U+10000 and four-byte ones reach it.
unsigned utf8_width(const uint8_t *p, size_t n, size_t *count) {
    unsigned width = 1;
    size_t units = 0;  // continuation bytes: count = n - units
    size_t i = skip_ascii(p, 0, n);
    while (i < n) {
        const uint8_t b = p[i];
        if (b < 0x80) {
            i = skip_ascii(p, i + 1, n);
            continue;
        }
        if (b < 0xc2 || b > 0xf4) return 0;
        if (b < 0xe0) {
            if (i + 1 >= n || !continuation(p[i + 1])) return 0;
            if (b > 0xc3 && width < 2) width = 2;
            units += 1;
            i += 2;
        } else if (b < 0xf0) {
            if (i + 2 >= n) return 0;
            const uint8_t b1 = p[i + 1];
            if (b == 0xe0 ? (b1 < 0xa0 || b1 > 0xbf) : b == 0xed ? (b1 < 0x80 || b1 > 0x9f) : !continuation(b1))
                return 0;
            if (!continuation(p[i + 2])) return 0;
            if (width < 2) width = 2;
            units += 2;
            i += 3;
        } else {
            if (i + 3 >= n) return 0;
            const uint8_t b1 = p[i + 1];
            if (b == 0xf0 ? (b1 < 0x90 || b1 > 0xbf) : b == 0xf4 ? (b1 < 0x80 || b1 > 0x8f) : !continuation(b1))
                return 0;
            if (!continuation(p[i + 2]) || !continuation(p[i + 3])) return 0;
            width = 4;
            units += 3;
            i += 4;
        }
    }
    *count = n - units;
    return width;
}

// Writes the code points of the well-formed UTF-8 at p[0, n) as `Char`s.
template <typename Char>
void utf8_fill(const uint8_t *p, size_t n, Char *out) {
    size_t i = 0;
    while (i < n) {
        const uint32_t b = p[i];
        if (b < 0x80) {
            // ASCII runs (most of a text in a Latin script) go eight bytes at a time.
            uint64_t w;
            if (i + 8 <= n && (memcpy(&w, p + i, 8), (w & kHighBits) == 0)) {
                for (unsigned k = 0; k < 8; ++k) out[k] = static_cast<Char>(p[i + k]);
                out += 8;
                i += 8;
            } else {
                *out++ = static_cast<Char>(b);
                i += 1;
            }
        } else if (b < 0xe0) {
            *out++ = static_cast<Char>((b & 0x1f) << 6 | (p[i + 1] & 0x3fu));
            i += 2;
        } else if (b < 0xf0) {
            *out++ = static_cast<Char>((b & 0x0f) << 12 | (p[i + 1] & 0x3fu) << 6 | (p[i + 2] & 0x3fu));
            i += 3;
        } else {
            *out++ = static_cast<Char>((b & 0x07) << 18 | (p[i + 1] & 0x3fu) << 12 | (p[i + 2] & 0x3fu) << 6 |
                                       (p[i + 3] & 0x3fu));
            i += 4;
        }
    }
}

}  // namespace

PyObject *make_text(const uint8_t *p, size_t n) {
    // One byte goes to the interpreter's decoder, which hands out its shared one-character
    // strings. Otherwise the text is measured in one pass and written straight into a str
    // of the right width in a second; bytes that are not UTF-8 go to the interpreter's
    // decoder too, for its UnicodeDecodeError.
    if (n >= 2) {
        const size_t first = skip_ascii(p, 0, n);
        if (first == n) {
            PyObject *s = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
            if (s != nullptr) memcpy(PyUnicode_1BYTE_DATA(s), p, n);
            return s;
        }
        size_t count = 0;
        const unsigned width = utf8_width(p + first, n - first, &count);
        if (width != 0) {
            static constexpr Py_UCS4 kMaxChar[] = {0, 0xff, 0xffff, 0, 0x10ffff};
            PyObject *s = PyUnicode_New(static_cast<Py_ssize_t>(first + count), kMaxChar[width]);
            if (s == nullptr) return nullptr;
            if (width == 1) {
                memcpy(PyUnicode_1BYTE_DATA(s), p, first);
                utf8_fill(p + first, n - first, PyUnicode_1BYTE_DATA(s) + first);
            } else if (width == 2) {
                utf8_fill(p, n, PyUnicode_2BYTE_DATA(s));
            } else {
                utf8_fill(p, n, PyUnicode_4BYTE_DATA(s));
            }
            return s;
        }
    }
    return PyUnicode_DecodeUTF8(reinterpret_cast<const char *>(p), static_cast<Py_ssize_t>(n), nullptr);
}

PyObject *KeyTable::replace(Slot &s, const uint8_t *p, size_t n, bool hashed) {
    if (!is_ascii(p, n)) return make_text(p, n);
    PyObject *text = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
    if (text == nullptr) return nullptr;
    memcpy(PyUnicode_1BYTE_DATA(text), p, n);
    if (hashed && PyObject_Hash(text) == -1) {
        Py_DECREF(text);
        return nullptr;
    }
    PyObject *old = s.text;
    s.text = Py_NewRef(text);
    s.length = n;
    memcpy(s.bytes, p, n);
    Py_XDECREF(old);
    return text;
}

void KeyTable::clear() noexcept {
    for (Slot &s : keys_) Py_CLEAR(s.text);
    for (Slot &s : values_) Py_CLEAR(s.text);
}

KeyTable *thread_key_table(PyObject *name, Ref *holder) {
    // A thread's table is released only when its thread state is cleared, which never happens
    // while that thread is running a decode.
    PyThreadState *tstate = PyThreadState_GetUnchecked();
    const uint64_t generation = g_generation.load(std::memory_order_acquire);
    if (tstate != nullptr && t_last.tstate == tstate && t_last.generation == generation) return t_last.table;
    KeyTable *table = find_key_table(name, holder);
    if (table != nullptr) t_last = LastTable{tstate, table, generation};
    return table;
}

KeyTable *find_key_table(PyObject *name, Ref *holder) {
    PyObject *dict = PyThreadState_GetDict();  // borrowed; the thread's own
    if (dict == nullptr) return nullptr;
    PyObject *found = nullptr;
    int r = PyDict_GetItemRef(dict, name, &found);
    if (r < 0) {
        PyErr_Clear();
        return nullptr;
    }
    if (r == 0) {
        void *memory = PyMem_RawCalloc(1, sizeof(KeyTable));
        if (memory == nullptr) return nullptr;
        auto *table = new (memory) KeyTable();
        found = PyCapsule_New(table, nullptr, release_table);
        if (found == nullptr) {
            PyErr_Clear();
            table->~KeyTable();
            PyMem_RawFree(memory);
            return nullptr;
        }
        if (PyDict_SetItem(dict, name, found) < 0) {
            PyErr_Clear();
            Py_DECREF(found);  // the capsule's destructor frees the table
            return nullptr;
        }
    }
    holder->reset(found);
    // The capsule has no name (a name costs a string compare on every decode): it is known
    // as this table by its destructor.
    if (!PyCapsule_CheckExact(found) || PyCapsule_GetDestructor(found) != release_table) {
        PyErr_Clear();
        return nullptr;
    }
    return static_cast<KeyTable *>(PyCapsule_GetPointer(found, nullptr));
}

}  // namespace kelvo::dag
