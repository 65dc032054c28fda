// Writer: the typed encoder's fast path. It writes lists, tuples, dicts, the built-in scalars and
// instances of the plain classes of the writer table exactly as `dumps` with its default options
// writes the same values with each instance replaced by the dict (or list) of its fields. Any
// other value is written by `dumps` itself, alone; where that cannot hold (a value that does
// not encode alone, or a list changed while it is written), the writer gives up and the caller
// takes the general path.
#include "typed/writer.h"

#include <cmath>
#include <cstring>

namespace kelvo::typed {

namespace {

class Output {
public:
    Output() = default;
    ~Output() { PyMem_Free(buf_); }
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;

    bool reserve(size_t more) {
        if (cap_ - len_ >= more) return true;
        size_t cap = cap_ == 0 ? 4096 : cap_;
        while (cap - len_ < more) cap *= 2;
        void *grown = PyMem_Realloc(buf_, cap);
        if (grown == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        buf_ = static_cast<uint8_t *>(grown);
        cap_ = cap;
        return true;
    }
    bool head(int major, uint64_t arg) {
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
    bool bytes(const void *p, size_t n) {
        if (!reserve(n)) return false;
        std::memcpy(buf_ + len_, p, n);
        len_ += n;
        return true;
    }
    bool byte(uint8_t b) { return bytes(&b, 1); }
    PyObject *result() const {
        return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(buf_), static_cast<Py_ssize_t>(len_));
    }

private:
    void put_be(uint64_t v, int width) {
        for (int i = width - 1; i >= 0; --i) buf_[len_++] = static_cast<uint8_t>(v >> (8 * i));
    }
    uint8_t *buf_ = nullptr;
    size_t len_ = 0;
    size_t cap_ = 0;
};

// 1 written, 0 given up (no exception set), -1 failed (exception set).
class Writer {
public:
    Writer(PyObject *table, PyObject *dumps, Py_ssize_t max_depth)
        : table_(table), dumps_(dumps), max_depth_(max_depth) {}

    int write(PyObject *o, Py_ssize_t depth) {
        ++items_;
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
            const bool ok = v >= 0 ? out_.head(0, static_cast<uint64_t>(v))
                                   : out_.head(1, static_cast<uint64_t>(-(v + 1)));
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
        return write_alone(o);
    }

    PyObject *result() const { return out_.result(); }

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
    int write_alone(PyObject *o) {
        // Each such value costs a call of dumps: where they are many, flattening the value
        // and one call of dumps for all of it is cheaper.
        if (++alone_ > 16 && alone_ * 8 > items_) return give_up();
        PyObject *encoded = PyObject_CallOneArg(dumps_, o);
        if (encoded == nullptr) {
            PyErr_Clear();  // typed values inside it, for instance: the general path decides
            return give_up();
        }
        Ref held(encoded);
        if (!PyBytes_Check(encoded)) return give_up();
        return out_.bytes(PyBytes_AS_STRING(encoded), static_cast<size_t>(PyBytes_GET_SIZE(encoded))) ? 1 : -1;
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

    int write_fields(PyObject *row, PyObject *o, Py_ssize_t depth) {
        if (!PyTuple_Check(row) || PyTuple_GET_SIZE(row) != 3 || !PyTuple_Check(PyTuple_GET_ITEM(row, 0)) ||
            !PyTuple_Check(PyTuple_GET_ITEM(row, 1)) ||
            PyTuple_GET_SIZE(PyTuple_GET_ITEM(row, 0)) != PyTuple_GET_SIZE(PyTuple_GET_ITEM(row, 1))) {
            PyErr_SetString(PyExc_TypeError, "a class table row is (names, keys, as_array)");
            return -1;
        }
        PyObject *names = PyTuple_GET_ITEM(row, 0);
        PyObject *keys = PyTuple_GET_ITEM(row, 1);
        const Py_ssize_t n = PyTuple_GET_SIZE(names);
        const bool as_array = PyTuple_GET_ITEM(row, 2) == Py_True;
        if (!out_.head(as_array ? 4 : 5, static_cast<uint64_t>(n))) return -1;
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!as_array) {
                const int r = write(PyTuple_GET_ITEM(keys, i), depth);
                if (r <= 0) return r;
            }
            Ref v(PyObject_GetAttr(o, PyTuple_GET_ITEM(names, i)));
            if (!v) return -1;
            const int r = write(v.get(), depth);
            if (r <= 0) return r;
        }
        return 1;
    }

    PyObject *table_;
    PyObject *dumps_;
    Py_ssize_t max_depth_;
    Output out_;
    size_t items_ = 0;  // values met so far
    size_t alone_ = 0;  // of which written by dumps alone
};

}  // namespace

PyObject *write_plain(PyObject *value, PyObject *table, PyObject *dumps, Py_ssize_t max_depth) {
    Writer writer(table, dumps, max_depth);
    const int r = writer.write(value, 0);
    if (r < 0) return nullptr;
    if (r == 0) Py_RETURN_NONE;
    return writer.result();
}

}  // namespace kelvo::typed
