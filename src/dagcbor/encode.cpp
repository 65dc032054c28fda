// encode: one dispatch on exact built-in types first, the rest in a cold general function;
// map entries taken out of the dict under its lock and sorted by their encoded keys.
#include "dagcbor/encode.h"

#include "dagcbor/cid.h"
#include "lib/compat.h"
#include "lib/podvec.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kelvo::dag {

namespace {

// One step of the way from the top-level object to the value being written: a map key
// (borrowed from the entries its map holds while the value is written) or a list index.
struct PathStep {
    PyObject *key;
    Py_ssize_t index;
};

struct Entry {
    const char *key;
    Py_ssize_t key_len;
    PyObject *key_obj;  // owned
    PyObject *value;    // owned
};

// Keys ordered by the length of their encoding, then bytewise: with shortest heads the encoding
// grows with the text, so this is the order of the texts' lengths, then of their bytes.
[[gnu::always_inline]] inline int key_compare(const Entry &a, const Entry &b) {
    if (a.key_len != b.key_len) return a.key_len < b.key_len ? -1 : 1;
    return memcmp(a.key, b.key, static_cast<size_t>(a.key_len));
}

bool key_less(const Entry &a, const Entry &b) { return key_compare(a, b) < 0; }

// The UTF-8 form of a str: an ASCII str's own characters, otherwise the interpreter's cached
// UTF-8 copy. NULL with the exception set (UnicodeEncodeError for a lone surrogate).
inline const char *utf8_of(PyObject *s, Py_ssize_t *len) {
    if (PyUnicode_IS_ASCII(s)) {
        *len = PyUnicode_GET_LENGTH(s);
        return static_cast<const char *>(PyUnicode_DATA(s));
    }
    return PyUnicode_AsUTF8AndSize(s, len);
}

// A dict's entries with a strong reference to each key and value, released on destruction.
class Entries {
public:
    Entries() = default;
    Entries(const Entries &) = delete;
    Entries &operator=(const Entries &) = delete;
    ~Entries() {
        for (size_t i = 0; i < v_.size(); ++i) {
            Py_DECREF(v_[i].key_obj);
            Py_DECREF(v_[i].value);
        }
    }
    // Copies the entries of `dict` while holding its lock. -1 with MemoryError.
    int take(PyObject *dict) {
        int rc = 0;
        Py_BEGIN_CRITICAL_SECTION(dict);
        if (v_.reserve(static_cast<size_t>(PyDict_GET_SIZE(dict))) < 0) {
            rc = -1;
        } else {
            Py_ssize_t pos = 0;
            PyObject *k, *val;
            while (PyDict_Next(dict, &pos, &k, &val)) {
                if (v_.push(Entry{nullptr, 0, Py_NewRef(k), Py_NewRef(val)}) < 0) {
                    Py_DECREF(k);
                    Py_DECREF(val);
                    rc = -1;
                    break;
                }
            }
        }
        Py_END_CRITICAL_SECTION();
        return rc;
    }
    // Adds one entry (with new references), the dict's lock held. -1 with MemoryError.
    int add(PyObject *key, PyObject *value) {
        if (v_.push(Entry{nullptr, 0, key, value}) < 0) return -1;
        Py_INCREF(key);
        Py_INCREF(value);
        return 0;
    }
    size_t size() const noexcept { return v_.size(); }
    Entry *begin() noexcept { return v_.data(); }
    Entry *end() noexcept { return v_.data() + v_.size(); }
    Entry &operator[](size_t i) noexcept { return v_[i]; }

private:
    PodVec<Entry, 8> v_;
};

// Writes the head of `major` with argument v at p, which has room for nine bytes; returns
// its length.
[[gnu::always_inline]] inline size_t put_head(uint8_t *p, uint8_t major, uint64_t v) {
    const auto m = static_cast<uint8_t>(major << 5);
    if (v < 24) {
        p[0] = static_cast<uint8_t>(m | v);
        return 1;
    }
    if (v < 256) {
        p[0] = m | 24;
        p[1] = static_cast<uint8_t>(v);
        return 2;
    }
    if (v < 65536) {
        p[0] = m | 25;
        const uint16_t be = __builtin_bswap16(static_cast<uint16_t>(v));
        memcpy(p + 1, &be, 2);
        return 3;
    }
    if (v <= UINT32_MAX) {
        p[0] = m | 26;
        const uint32_t be = __builtin_bswap32(static_cast<uint32_t>(v));
        memcpy(p + 1, &be, 4);
        return 5;
    }
    p[0] = m | 27;
    const uint64_t be = __builtin_bswap64(v);
    memcpy(p + 1, &be, 8);
    return 9;
}

// memcpy of n bytes; the short texts that records are made of (keys, dates, identifiers)
// are copied as two overlapping words each, without a call.
[[gnu::always_inline]] inline void copy_bytes(uint8_t *dst, const uint8_t *src, size_t n) {
    if (n >= 8 && n <= 16) {
        uint64_t a, b;
        memcpy(&a, src, 8);
        memcpy(&b, src + n - 8, 8);
        memcpy(dst, &a, 8);
        memcpy(dst + n - 8, &b, 8);
    } else if (n >= 4 && n < 8) {
        uint32_t a, b;
        memcpy(&a, src, 4);
        memcpy(&b, src + n - 4, 4);
        memcpy(dst, &a, 4);
        memcpy(dst + n - 4, &b, 4);
    } else if (n != 0 && n < 4) {
        dst[0] = src[0];
        dst[n / 2] = src[n / 2];
        dst[n - 1] = src[n - 1];
    } else if (n != 0) {
        memcpy(dst, src, n);
    }
}

class Encoder {
public:
    explicit Encoder(const ModuleState *st) : st_(st) {}

    int value(PyObject *obj, int depth);
    PyObject *result() {
        return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(out_.data()),
                                         static_cast<Py_ssize_t>(out_.size()));
    }

private:
    int head(uint8_t major, uint64_t v) {
        if (out_.reserve(9) < 0) return -1;
        out_.commit(put_head(out_.data() + out_.size(), major, v));
        return 0;
    }
    // A head and its bytes, with room made once for both.
    [[gnu::always_inline]] int string(uint8_t major, const char *data, Py_ssize_t len) {
        const auto n = static_cast<size_t>(len);
        if (out_.reserve(9 + n) < 0) return -1;
        uint8_t *p = out_.data() + out_.size();
        const size_t h = put_head(p, major, n);
        copy_bytes(p + h, reinterpret_cast<const uint8_t *>(data), n);
        out_.commit(h + n);
        return 0;
    }
    int text(PyObject *obj);
    int integer(PyObject *obj);
    int real(PyObject *obj);
    int list(PyObject *obj, int depth);
    int tuple(PyObject *obj, int depth);
    int dict(PyObject *obj, int depth);
    // The map's head and its leading plain entries, written with the dict's lock held; the
    // entries after them copied into *rest, with the last key written in *last_key. 1 when
    // every entry was written, 0 when some are in *rest, 2 when the keys are not in order
    // (the caller starts over), -1 with MemoryError.
    int dict_prefix(PyObject *obj, Entries *rest, Ref *last_key);
    // Writes the copied entries after the prefix. 1 when written, 0 when a key needs the
    // general path (nothing more written), -1 with the exception set.
    int dict_rest(Entries &rest, PyObject *last_key, int depth);
    // Any map: its entries copied out, checked, sorted when they are not in order, written.
    int general_dict(PyObject *obj, int depth);
    // Writes a value that needs no lock and runs no code. 1, 0 (nothing written) or -1.
    int flat_value(PyObject *v);
    int cid(PyObject *obj);
    [[gnu::noinline]] int general(PyObject *obj, int depth);
    // Raises `type` with "{what} '{type name}' {place}". Always -1.
    [[gnu::noinline]] int refuse(PyObject *type, const char *what, PyObject *obj);
    PyObject *place();

    const ModuleState *st_;
    PodVec<uint8_t, 512> out_;
    PodVec<PathStep, 16> path_;
};

PyObject *Encoder::place() {
    if (path_.empty()) return PyUnicode_FromString("at the top level");
    Ref parts(PyList_New(0));
    if (!parts) return nullptr;
    for (size_t i = 0; i < path_.size(); ++i) {
        Ref step(path_[i].key != nullptr ? PyUnicode_FromFormat("[%R]", path_[i].key)
                                         : PyUnicode_FromFormat("[%zd]", path_[i].index));
        if (!step || PyList_Append(parts.get(), step.get()) < 0) return nullptr;
    }
    Ref empty(PyUnicode_FromString(""));
    if (!empty) return nullptr;
    Ref joined(PyUnicode_Join(empty.get(), parts.get()));
    if (!joined) return nullptr;
    return PyUnicode_FromFormat("at %U", joined.get());
}

int Encoder::refuse(PyObject *type, const char *what, PyObject *obj) {
    // A conversion error of the value (a lone surrogate, say) becomes the cause.
    PyObject *cause = PyErr_GetRaisedException();
    Ref where(place());
    Ref name(PyType_GetQualName(Py_TYPE(obj)));
    if (where && name) PyErr_Format(type, "%s '%U' %U", what, name.get(), where.get());
    if (cause != nullptr) {
        if (PyErr_Occurred()) {
            PyObject *exc = PyErr_GetRaisedException();
            PyException_SetCause(exc, cause);  // steals cause
            PyErr_SetRaisedException(exc);
        } else {
            Py_DECREF(cause);
        }
    }
    return -1;
}

int Encoder::text(PyObject *obj) {
    Py_ssize_t len;
    const char *utf8 = utf8_of(obj, &len);
    if (utf8 == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return -1;
        return refuse(st_->encode_value_error, "text that is not valid Unicode in", obj);
    }
    return string(3, utf8, len);
}

int Encoder::integer(PyObject *obj) {
    int64_t v;
    int fits = compat::long_as_int64(obj, &v);
    if (fits < 0) return -1;
    if (fits) return v >= 0 ? head(0, static_cast<uint64_t>(v)) : head(1, static_cast<uint64_t>(-1 - v));
    unsigned long long u = PyLong_AsUnsignedLongLong(obj);
    if (u != static_cast<unsigned long long>(-1) || !PyErr_Occurred()) return head(0, u);
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return -1;
    PyErr_Clear();
    Ref inverted(PyNumber_Invert(obj));  // -1 - obj: the argument of a negative integer
    if (!inverted) return -1;
    u = PyLong_AsUnsignedLongLong(inverted.get());
    if (u != static_cast<unsigned long long>(-1) || !PyErr_Occurred()) return head(1, u);
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return -1;
    PyErr_Clear();
    return refuse(st_->encode_value_error, "integer outside -2**64..2**64-1 of type", obj);
}

int Encoder::real(PyObject *obj) {
    const double d = PyFloat_AS_DOUBLE(obj);
    if (!std::isfinite(d)) return refuse(st_->encode_value_error, "NaN or infinity of type", obj);
    if (out_.reserve(9) < 0) return -1;
    uint8_t *p = out_.data() + out_.size();
    uint64_t bits;
    memcpy(&bits, &d, 8);
    bits = __builtin_bswap64(bits);
    p[0] = 0xfb;
    memcpy(p + 1, &bits, 8);
    out_.commit(9);
    return 0;
}

int Encoder::list(PyObject *obj, int depth) {
    if (depth >= kMaxDepth) return refuse(st_->encode_value_error, "containers nested too deeply in", obj);
    const Py_ssize_t n = PyList_GET_SIZE(obj);
    if (head(4, static_cast<uint64_t>(n)) < 0 || path_.push(PathStep{nullptr, 0}) < 0) return -1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        path_.back().index = i;
        Ref item(PyList_GetItemRef(obj, i));
        if (!item) {
            PyErr_Clear();
            return refuse(st_->encode_value_error, "list that changed size while being written, of type", obj);
        }
        if (value(item.get(), depth + 1) < 0) return -1;
    }
    path_.pop_back();
    return 0;
}

int Encoder::tuple(PyObject *obj, int depth) {
    if (depth >= kMaxDepth) return refuse(st_->encode_value_error, "containers nested too deeply in", obj);
    const Py_ssize_t n = PyTuple_GET_SIZE(obj);
    if (head(4, static_cast<uint64_t>(n)) < 0 || path_.push(PathStep{nullptr, 0}) < 0) return -1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        path_.back().index = i;
        if (value(PyTuple_GET_ITEM(obj, i), depth + 1) < 0) return -1;
    }
    path_.pop_back();
    return 0;
}

int Encoder::flat_value(PyObject *v) {
    PyTypeObject *t = Py_TYPE(v);
    if (t == &PyUnicode_Type) {
        if (!PyUnicode_IS_ASCII(v)) return 0;
        return string(3, static_cast<const char *>(PyUnicode_DATA(v)), PyUnicode_GET_LENGTH(v)) < 0 ? -1 : 1;
    }
    if (t == &PyLong_Type) {
        int64_t i;
        const int fits = compat::long_as_int64(v, &i);
        if (fits <= 0) {
            PyErr_Clear();
            return 0;
        }
        return (i >= 0 ? head(0, static_cast<uint64_t>(i)) : head(1, static_cast<uint64_t>(-1 - i))) < 0 ? -1 : 1;
    }
    if (t == st_->cid_class) return cid(v) < 0 ? -1 : 1;
    if (v == Py_None || v == Py_True || v == Py_False)
        return head(7, v == Py_None ? 22 : v == Py_True ? 21 : 20) < 0 ? -1 : 1;
    if (t == &PyFloat_Type) return std::isfinite(PyFloat_AS_DOUBLE(v)) ? (real(v) < 0 ? -1 : 1) : 0;
    if (t == &PyBytes_Type) return string(2, PyBytes_AS_STRING(v), PyBytes_GET_SIZE(v)) < 0 ? -1 : 1;
    return 0;
}

int Encoder::dict_prefix(PyObject *obj, Entries *rest, Ref *last_key) {
    // Called with the dict's lock held: nothing here may run Python code or wait for another
    // lock, so only values whose encoding reads immutable state alone are written here (see
    // flat_value), and only while the keys are ASCII str in order.
    if (head(5, static_cast<uint64_t>(PyDict_GET_SIZE(obj))) < 0) return -1;
    PyObject *prev_obj = nullptr;
    const char *prev = nullptr;
    Py_ssize_t prev_len = 0;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(obj, &pos, &k, &v)) {
        if (Py_TYPE(k) == &PyUnicode_Type && PyUnicode_IS_ASCII(k)) {
            const Py_ssize_t len = PyUnicode_GET_LENGTH(k);
            const char *key = static_cast<const char *>(PyUnicode_DATA(k));
            if (prev != nullptr &&
                (len < prev_len || (len == prev_len && memcmp(key, prev, static_cast<size_t>(len)) <= 0)))
                return 2;
            const size_t entry_start = out_.size();
            if (string(3, key, len) < 0) return -1;
            const int rc = flat_value(v);
            if (rc < 0) return -1;
            if (rc == 1) {
                prev_obj = k;
                prev = key;
                prev_len = len;
                continue;
            }
            out_.truncate(entry_start);
        }
        // This entry and the ones after it are copied out, to be written without the lock.
        if (rest->add(k, v) < 0) return -1;
        while (PyDict_Next(obj, &pos, &k, &v))
            if (rest->add(k, v) < 0) return -1;
        if (prev_obj != nullptr) last_key->reset(Py_NewRef(prev_obj));
        return 0;
    }
    return 1;
}

int Encoder::dict_rest(Entries &rest, PyObject *last_key, int depth) {
    Entry prev{nullptr, 0, nullptr, nullptr};
    if (last_key != nullptr) {
        prev.key = static_cast<const char *>(PyUnicode_DATA(last_key));  // an ASCII str
        prev.key_len = PyUnicode_GET_LENGTH(last_key);
    }
    // Every key is checked before anything more is written, so that a fault found here
    // leaves the map to the general path, which reports it.
    for (size_t i = 0; i < rest.size(); ++i) {
        Entry &e = rest[i];
        if (!PyUnicode_Check(e.key_obj)) return 0;
        e.key = utf8_of(e.key_obj, &e.key_len);
        if (e.key == nullptr) {
            PyErr_Clear();
            return 0;
        }
        if (prev.key != nullptr && key_compare(prev, e) >= 0) return 0;
        prev = e;
    }
    if (path_.push(PathStep{nullptr, 0}) < 0) return -1;
    for (size_t i = 0; i < rest.size(); ++i) {
        const Entry &e = rest[i];
        path_.back().key = e.key_obj;
        if (string(3, e.key, e.key_len) < 0 || value(e.value, depth + 1) < 0) return -1;
    }
    path_.pop_back();
    return 1;
}

int Encoder::dict(PyObject *obj, int depth) {
    if (depth >= kMaxDepth) return refuse(st_->encode_value_error, "containers nested too deeply in", obj);
    // The entries are written in the dict's own order, under its lock and with no reference
    // taken, while they are plain values with keys in order (as a decoded map's are); from
    // the first that is not, the rest are copied out and written after the lock is let go.
    // Keys out of order, or a key the fast path does not handle, start the map over on the
    // general path.
    const size_t mark = out_.size();
    Entries rest;
    Ref last_key;
    int state;
    Py_BEGIN_CRITICAL_SECTION(obj);
    state = dict_prefix(obj, &rest, &last_key);
    Py_END_CRITICAL_SECTION();
    if (state < 0) return -1;
    if (state == 1) return 0;
    if (state == 0) {
        const int rc = dict_rest(rest, last_key.get(), depth);
        if (rc != 0) return rc < 0 ? -1 : 0;
    }
    out_.truncate(mark);
    return general_dict(obj, depth);
}

int Encoder::general_dict(PyObject *obj, int depth) {
    Entries entries;
    if (entries.take(obj) < 0) return -1;
    const size_t n = entries.size();
    bool sorted = true;
    for (size_t i = 0; i < n; ++i) {
        Entry &e = entries[i];
        if (!PyUnicode_Check(e.key_obj))
            return refuse(st_->encode_type_error, "map key (only str keys are allowed) of type", e.key_obj);
        e.key = utf8_of(e.key_obj, &e.key_len);
        if (e.key == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return -1;
            return refuse(st_->encode_value_error, "map key that is not valid Unicode, of type", e.key_obj);
        }
        if (i != 0 && sorted && key_compare(entries[i - 1], e) >= 0) sorted = false;
    }
    if (!sorted) {
        std::sort(entries.begin(), entries.end(), key_less);
        // Only str subclasses whose equality is not their text's can give two equal keys.
        for (size_t i = 1; i < n; ++i)
            if (key_compare(entries[i - 1], entries[i]) == 0)
                return refuse(st_->encode_value_error, "map key repeated, of type", entries[i].key_obj);
    }
    if (head(5, n) < 0 || path_.push(PathStep{nullptr, 0}) < 0) return -1;
    for (size_t i = 0; i < n; ++i) {
        const Entry &e = entries[i];
        path_.back().key = e.key_obj;
        if (string(3, e.key, e.key_len) < 0 || value(e.value, depth + 1) < 0) return -1;
    }
    path_.pop_back();
    return 0;
}

int Encoder::cid(PyObject *obj) {
    // Tag 42 around a byte string of the 0x00 prefix and the binary CID.
    const size_t len = cid_size(obj);
    if (out_.reserve(2 + 9 + 1 + len) < 0) return -1;
    uint8_t *p = out_.data() + out_.size();
    p[0] = 0xd8;
    p[1] = 42;
    const size_t h = 2 + put_head(p + 2, 2, len + 1);
    p[h] = 0x00;
    copy_bytes(p + h + 1, cid_bytes(obj), len);
    out_.commit(h + 1 + len);
    return 0;
}

int Encoder::value(PyObject *obj, int depth) {
    PyTypeObject *t = Py_TYPE(obj);
    if (t == &PyUnicode_Type) return text(obj);
    if (t == &PyLong_Type) return integer(obj);
    if (t == &PyDict_Type) return dict(obj, depth);
    if (t == &PyList_Type) return list(obj, depth);
    if (obj == Py_None) return head(7, 22);
    if (obj == Py_True) return head(7, 21);
    if (obj == Py_False) return head(7, 20);
    if (t == &PyBytes_Type) return string(2, PyBytes_AS_STRING(obj), PyBytes_GET_SIZE(obj));
    if (t == &PyFloat_Type) return real(obj);
    if (t == st_->cid_class) return cid(obj);
    return general(obj, depth);
}

int Encoder::general(PyObject *obj, int depth) {
    if (PyObject_TypeCheck(obj, st_->cid_base)) return cid(obj);
    if (PyTuple_Check(obj)) return tuple(obj, depth);
    if (PyUnicode_Check(obj)) return text(obj);
    if (PyLong_Check(obj)) return integer(obj);
    if (PyDict_Check(obj)) return dict(obj, depth);
    if (PyList_Check(obj)) return list(obj, depth);
    if (PyFloat_Check(obj)) return real(obj);
    if (PyBytes_Check(obj)) return string(2, PyBytes_AS_STRING(obj), PyBytes_GET_SIZE(obj));
    if (PyByteArray_Check(obj)) {
        // The copy is what gets written, whatever another thread does to the bytearray.
        Ref copy(PyBytes_FromObject(obj));
        if (!copy) return -1;
        return string(2, PyBytes_AS_STRING(copy.get()), PyBytes_GET_SIZE(copy.get()));
    }
    return refuse(st_->encode_type_error, "cannot encode an object of type", obj);
}

}  // namespace

PyObject *encode(const ModuleState *st, PyObject *obj) {
    Encoder e(st);
    if (e.value(obj, 0) < 0) return nullptr;
    return e.result();
}

}  // namespace kelvo::dag
