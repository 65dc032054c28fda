// Writer: the typed encoder's fast path. It writes lists, tuples, dicts, the built-in scalars,
// exact datetimes, dates, UUIDs and Decimals, and instances of the plain classes of the writer
// table exactly as `dumps` with its default options writes the same values with each instance
// replaced by the dict (or list) of its fields. Any other value is written by `dumps` (all such
// values in one call); where that cannot hold (a value that dumps cannot write, or a list
// changed while it is written), the writer gives up and the caller takes the general path.
#include "typed/writer.h"

#include "typed/rows.h"
#include "typed/semantic.h"
#include "typed/skipper.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace kelvo::typed {

namespace {

// The output, written into pieces that double in size up to kPieceMax (small enough for the
// allocator to reuse them, where larger blocks would be mapped and faulted in afresh each
// time) and copied once into the result at the end: no piece is moved while it grows.
class Output {
public:
    Output() = default;
    ~Output() {
        for (size_t i = 0; i < n_pieces_; ++i) PyMem_Free(pieces_[i].data);
        PyMem_Free(pieces_);
        PyMem_Free(buf_);
    }
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;

    [[gnu::always_inline]] bool reserve(size_t more) { return cap_ - len_ >= more || grow(more); }
    [[gnu::always_inline]] bool head(int major, uint64_t arg) {
        if (!reserve(9)) return false;
        const uint8_t m = static_cast<uint8_t>(major << 5);
        if (arg < 24) {
            buf_[len_++] = static_cast<uint8_t>(m | arg);
        } else if (arg <= 0xff) {
            buf_[len_++] = m | 24;
            buf_[len_++] = static_cast<uint8_t>(arg);
        } else if (arg <= 0xffff) {
            buf_[len_++] = m | 25;
            put_be(arg, 2);
        } else if (arg <= 0xffffffffull) {
            buf_[len_++] = m | 26;
            put_be(arg, 4);
        } else {
            buf_[len_++] = m | 27;
            put_be(arg, 8);
        }
        return true;
    }
    [[gnu::always_inline]] bool bytes(const void *p, size_t n) {
        if (!reserve(n)) return false;
        copy(buf_ + len_, static_cast<const uint8_t *>(p), n);
        len_ += n;
        return true;
    }
    bool byte(uint8_t b) {
        if (!reserve(1)) return false;
        buf_[len_++] = b;
        return true;
    }
    // The whole output in one piece (the pieces merged when there are several); nullptr with
    // the exception set when memory runs out.
    const uint8_t *data() {
        if (n_pieces_ > 0 && !merge()) return nullptr;
        return buf_;
    }
    size_t size() const { return done_ + len_; }
    // Room reserved beforehand is written at tail() and then taken with advance().
    uint8_t *tail() { return buf_ + len_; }
    void advance(size_t n) { len_ += n; }
    // The bytes written, as a new bytes object (the Output is left as it is); NULL on failure.
    PyObject *take() {
        PyObject *out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size()));
        if (out == nullptr) return nullptr;
        char *p = PyBytes_AS_STRING(out);
        for (size_t i = 0; i < n_pieces_; ++i) {
            std::memcpy(p, pieces_[i].data, pieces_[i].len);
            p += pieces_[i].len;
        }
        if (len_ > 0) std::memcpy(p, buf_, len_);
        return out;
    }

private:
    // Short runs (keys, most texts) copied inline in at most two overlapping moves, longer
    // ones by memcpy; nothing is read outside [p, p + n).
    [[gnu::always_inline]] static void copy(uint8_t *out, const uint8_t *p, size_t n) {
        if (n >= 8 && n <= 16) {
            uint64_t a, b;
            std::memcpy(&a, p, 8);
            std::memcpy(&b, p + n - 8, 8);
            std::memcpy(out, &a, 8);
            std::memcpy(out + n - 8, &b, 8);
        } else if (n >= 4 && n < 8) {
            uint32_t a, b;
            std::memcpy(&a, p, 4);
            std::memcpy(&b, p + n - 4, 4);
            std::memcpy(out, &a, 4);
            std::memcpy(out + n - 4, &b, 4);
        } else if (n < 4) {
            for (size_t i = 0; i < n; ++i) out[i] = p[i];
        } else {
            std::memcpy(out, p, n);
        }
    }

    void put_be(uint64_t v, int width) {
        for (int i = width - 1; i >= 0; --i) buf_[len_++] = static_cast<uint8_t>(v >> (8 * i));
    }

    // A new piece with room for `more` bytes, the current one set aside.
    [[gnu::noinline]] bool grow(size_t more) {
        if (buf_ != nullptr && n_pieces_ == cap_pieces_) {
            const size_t grown = cap_pieces_ == 0 ? 16 : cap_pieces_ * 2;
            void *bigger = PyMem_Realloc(pieces_, grown * sizeof(Piece));
            if (bigger == nullptr) {
                PyErr_NoMemory();
                return false;
            }
            pieces_ = static_cast<Piece *>(bigger);
            cap_pieces_ = grown;
        }
        const size_t cap = std::max(std::clamp(cap_ * 2, size_t{1024}, kPieceMax), more);
        auto *fresh = static_cast<uint8_t *>(PyMem_Malloc(cap));
        if (fresh == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        if (buf_ != nullptr) {
            pieces_[n_pieces_++] = Piece{buf_, len_};
            done_ += len_;
        }
        buf_ = fresh;
        len_ = 0;
        cap_ = cap;
        return true;
    }

    // All the pieces and the current one copied into one piece.
    bool merge() {
        const size_t total = size();
        const size_t cap = std::max(total, size_t{1024});
        auto *whole = static_cast<uint8_t *>(PyMem_Malloc(cap));
        if (whole == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        size_t at = 0;
        for (size_t i = 0; i < n_pieces_; ++i) {
            std::memcpy(whole + at, pieces_[i].data, pieces_[i].len);
            at += pieces_[i].len;
            PyMem_Free(pieces_[i].data);
        }
        if (len_ > 0) std::memcpy(whole + at, buf_, len_);
        PyMem_Free(buf_);
        n_pieces_ = 0;
        done_ = 0;
        buf_ = whole;
        len_ = total;
        cap_ = cap;
        return true;
    }

    struct Piece {
        uint8_t *data;
        size_t len;
    };
    static constexpr size_t kPieceMax = 64 * 1024;
    Piece *pieces_ = nullptr;
    size_t n_pieces_ = 0;
    size_t cap_pieces_ = 0;
    size_t done_ = 0;  // bytes in the pieces set aside
    uint8_t *buf_ = nullptr;
    size_t len_ = 0;
    size_t cap_ = 0;
};

// 1 written, 0 given up (no exception set), -1 failed (exception set).
class Writer {
public:
    Writer(PyObject *table, PyObject *dumps, Py_ssize_t max_depth, const SemanticKit &kit)
        : table_(table), dumps_(dumps), max_depth_(max_depth), kit_(kit) {}

    int write(PyObject *o, Py_ssize_t depth) {
        PyTypeObject *t = Py_TYPE(o);
        if (t == &PyUnicode_Type) {
            Py_ssize_t n = 0;
            const char *p = PyUnicode_AsUTF8AndSize(o, &n);
            if (p == nullptr) return give_up();  // lone surrogates: dumps reports them
            return out_.head(3, static_cast<uint64_t>(n)) && out_.bytes(p, static_cast<size_t>(n)) ? 1 : -1;
        }
        if (t == &PyLong_Type) {
            int overflow = 0;
            const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
            if (v == -1 && PyErr_Occurred()) return -1;
            if (overflow != 0) return write_alone(o);
            const bool ok =
                v >= 0 ? out_.head(0, static_cast<uint64_t>(v)) : out_.head(1, static_cast<uint64_t>(-(v + 1)));
            return ok ? 1 : -1;
        }
        if (t == &PyFloat_Type) return write_float(PyFloat_AS_DOUBLE(o));
        if (o == Py_True || o == Py_False) return out_.byte(o == Py_True ? 0xf5 : 0xf4) ? 1 : -1;
        if (o == Py_None) return out_.byte(0xf6) ? 1 : -1;
        if (depth >= max_depth_) return give_up();
        if (t == &PyList_Type) return write_list(o, depth + 1);
        if (PyTuple_Check(o)) return write_tuple(o, depth + 1);
        if (t == &PyDict_Type) return write_dict(o, depth + 1);
        PyObject *row = nullptr;
        if (PyDict_GetItemRef(table_, reinterpret_cast<PyObject *>(t), &row) < 0) return -1;
        if (row != nullptr) {
            Ref owned(row);
            return write_fields(row, o, depth + 1);
        }
        if (!out_.reserve(kSemanticMax)) return -1;
        const Py_ssize_t n = write_semantic(kit_, o, out_.tail());
        if (n < 0) return -1;
        if (n > 0) return out_.advance(static_cast<size_t>(n)), 1;
        return write_alone(o);
    }

    ~Writer() { PyMem_Free(gaps_); }
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;

    // The encoding, with the gathered values' encodings put in their gaps; None when dumps
    // cannot write them (typed values inside them, for instance: the general path decides).
    PyObject *result() {
        if (gaps_len_ == 0) return out_.take();
        Ref encoded(PyObject_CallOneArg(dumps_, alone_.get()));
        if (!encoded || !PyBytes_Check(encoded.get())) {
            PyErr_Clear();
            Py_RETURN_NONE;
        }
        const uint8_t *enc = reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(encoded.get()));
        const size_t enc_size = static_cast<size_t>(PyBytes_GET_SIZE(encoded.get()));
        // Past the array's head: the items follow one another.
        size_t pos = enc_size > 0 && (enc[0] & 0x1f) < 24 ? 1 : 0;
        if (pos == 0 && enc_size > 0) pos = 1 + (size_t{1} << ((enc[0] & 0x1f) - 24));
        const ErrorTypes errors{PyExc_ValueError, PyExc_ValueError};
        const uint8_t *body = out_.data();
        if (body == nullptr) return nullptr;
        const size_t body_size = out_.size();
        Output merged;
        if (!merged.reserve(body_size + enc_size)) return nullptr;
        size_t from = 0;
        for (size_t g = 0; g < gaps_len_; ++g) {
            Skipper skipper(&errors, enc, enc_size, static_cast<size_t>(max_depth_) + 2);
            const Py_ssize_t end = skipper.end_of(pos);
            if (end < 0) return nullptr;
            if (!merged.bytes(body + from, gaps_[g] - from) || !merged.bytes(enc + pos, static_cast<size_t>(end) - pos))
                return nullptr;
            from = gaps_[g];
            pos = static_cast<size_t>(end);
        }
        if (!merged.bytes(body + from, body_size - from)) return nullptr;
        return merged.take();
    }

private:
    static int give_up() { return 0; }

    int write_float(double d) {
        if (std::isnan(d)) return out_.bytes("\xf9\x7e\x00", 3) ? 1 : -1;
        if (std::isinf(d)) return out_.bytes(d > 0 ? "\xf9\x7c\x00" : "\xf9\xfc\x00", 3) ? 1 : -1;
        uint8_t b[9];
        b[0] = 0xfb;
        if (PyFloat_Pack8(d, reinterpret_cast<char *>(b + 1), 0) < 0) return -1;
        return out_.bytes(b, 9) ? 1 : -1;
    }

    // Any other value: its encoding by dumps alone, which is what dumps writes for it inside
    // a larger value when no option ties items together.
    // Any other value: its encoding by dumps, which is what dumps writes for it inside a
    // larger value when no option ties items together. Such values are gathered and encoded
    // by one call of dumps at the end (as one array, whose items are then cut apart): the
    // output keeps a gap for each, at `gaps_` offsets.
    int write_alone(PyObject *o) {
        if (!alone_) {
            alone_.reset(PyList_New(0));
            if (!alone_) return -1;
        }
        if (PyList_Append(alone_.get(), o) < 0) return -1;
        if (gaps_len_ == gaps_cap_) {
            const size_t cap = gaps_cap_ == 0 ? 64 : gaps_cap_ * 2;
            void *grown = PyMem_Realloc(gaps_, cap * sizeof(size_t));
            if (grown == nullptr) {
                PyErr_NoMemory();
                return -1;
            }
            gaps_ = static_cast<size_t *>(grown);
            gaps_cap_ = cap;
        }
        gaps_[gaps_len_++] = out_.size();
        return 1;
    }

    int write_list(PyObject *o, Py_ssize_t depth) {
        const Py_ssize_t n = PyList_GET_SIZE(o);
        if (!out_.head(4, static_cast<uint64_t>(n))) return -1;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *item = PyList_GetItemRef(o, i);
            if (item == nullptr) {
                PyErr_Clear();  // shorter than its header said: another thread changed it
                return give_up();
            }
            Ref held(item);
            const int r = write(item, depth);
            if (r <= 0) return r;
        }
        return PyList_GET_SIZE(o) == n ? 1 : give_up();
    }

    int write_tuple(PyObject *o, Py_ssize_t depth) {
        const Py_ssize_t n = PyTuple_GET_SIZE(o);
        if (!out_.head(4, static_cast<uint64_t>(n))) return -1;
        for (Py_ssize_t i = 0; i < n; ++i) {
            const int r = write(PyTuple_GET_ITEM(o, i), depth);
            if (r <= 0) return r;
        }
        return 1;
    }

    int write_dict(PyObject *o, Py_ssize_t depth) {
        // A snapshot of the entries: no other thread can change them under the walk.
        Ref items(PyDict_Items(o));
        if (!items) return -1;
        const Py_ssize_t n = PyList_GET_SIZE(items.get());
        if (!out_.head(5, static_cast<uint64_t>(n))) return -1;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *pair = PyList_GET_ITEM(items.get(), i);
            int r = write(PyTuple_GET_ITEM(pair, 0), depth);
            if (r <= 0) return r;
            r = write(PyTuple_GET_ITEM(pair, 1), depth);
            if (r <= 0) return r;
        }
        return 1;
    }

    int write_fields(PyObject *table_row, PyObject *o, Py_ssize_t depth) {
        Row row;
        if (!read_row(table_row, row)) return -1;
        if (!out_.head(row.as_array ? 4 : 5, static_cast<uint64_t>(row.n))) return -1;
        for (Py_ssize_t i = 0; i < row.n; ++i) {
            if (!row.as_array) {
                PyObject *key = PyTuple_GET_ITEM(row.encoded, i);
                if (!PyBytes_Check(key)) return give_up();
                if (!out_.bytes(PyBytes_AS_STRING(key), static_cast<size_t>(PyBytes_GET_SIZE(key)))) return -1;
            }
            Ref v(field_value(row, i, o));
            if (!v) return -1;
            const int r = write(v.get(), depth);
            if (r <= 0) return r;
        }
        return 1;
    }

    PyObject *table_;
    PyObject *dumps_;
    Py_ssize_t max_depth_;
    const SemanticKit &kit_;
    Output out_;
    Ref alone_;               // the values left to dumps, in output order
    size_t *gaps_ = nullptr;  // where each one's encoding goes in out_
    size_t gaps_len_ = 0;
    size_t gaps_cap_ = 0;
};

}  // namespace

PyObject *write_plain(PyObject *value, PyObject *table, PyObject *dumps, Py_ssize_t max_depth, const SemanticKit &kit) {
    Writer writer(table, dumps, max_depth, kit);
    const int r = writer.write(value, 0);
    if (r < 0) return nullptr;
    if (r == 0) Py_RETURN_NONE;
    return writer.result();
}

}  // namespace kelvo::typed
