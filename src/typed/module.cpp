// kelvo._typed: the native half of typed decoding (finding where one encoded item ends).
#include "lib/pyref.h"

#include <cstdint>
#include <cstring>

namespace kelvo::typed {

namespace {

// The exception types come from _kelvo, so that callers catch one hierarchy.
struct ModuleState {
    PyObject *decode_error;
    PyObject *decode_eof;
};

ModuleState *state_of(PyObject *m) { return static_cast<ModuleState *>(PyModule_GetState(m)); }

constexpr uint64_t kIndefinite = UINT64_MAX;

// Where an indefinite-length container or string waits for its break code: the number of
// items still owed by the level around it, and whether it only takes string chunks (and of
// which major type).
struct Open {
    uint64_t outer_pending;
    int chunk_major;  // -1: any item; 2 or 3: chunks of that string type
};

class Skipper {
public:
    Skipper(const ModuleState *st, const uint8_t *data, size_t size, size_t max_open)
        : st_(st), data_(data), size_(size), max_open_(max_open) {}
    ~Skipper() { PyMem_Free(open_); }
    Skipper(const Skipper &) = delete;
    Skipper &operator=(const Skipper &) = delete;

    // The offset just past the item that starts at `pos`, or -1 with the exception set.
    // Every container, tag and indefinite string opens a level on a small stack (bounded by
    // max_open), which holds how many items the level around it still owes.
    Py_ssize_t end_of(size_t pos) {
        uint64_t pending = 1;  // items still owed at the current level
        for (;;) {
            while (pending == 0) {
                if (n_open_ == 0) return static_cast<Py_ssize_t>(pos);
                pending = open_[--n_open_].outer_pending;
            }
            if (pos >= size_) return fail_eof(pos);
            const size_t start = pos;
            const uint8_t initial = data_[pos++];
            const int major = initial >> 5;
            const int info = initial & 0x1f;
            if (initial == 0xff) {
                if (pending != kIndefinite) return fail(start, "a break code stands outside an indefinite-length item");
                pending = 0;
                continue;
            }
            if (n_open_ > 0 && pending == kIndefinite && open_[n_open_ - 1].chunk_major >= 0 &&
                (major != open_[n_open_ - 1].chunk_major || info == 31))
                return fail(start, "an indefinite-length string holds an item that is not a definite chunk of its type");
            uint64_t arg = 0;
            if (info < 24) {
                arg = static_cast<uint64_t>(info);
            } else if (info <= 27) {
                const size_t width = size_t{1} << (info - 24);
                if (size_ - pos < width) return fail_eof(size_);
                for (size_t i = 0; i < width; ++i) arg = (arg << 8) | data_[pos + i];
                pos += width;
            } else if (info != 31 || major == 0 || major == 1 || major == 6 || major == 7) {
                return fail(start, "reserved additional information in an item's initial byte");
            }
            if (pending != kIndefinite) --pending;
            if (major == 2 || major == 3) {
                if (info == 31) {
                    if (push(start, pending, major) < 0) return -1;
                    pending = kIndefinite;
                } else {
                    if (size_ - pos < arg) return fail_eof(size_);
                    pos += static_cast<size_t>(arg);
                }
            } else if (major == 4 || major == 5 || major == 6) {
                uint64_t items = kIndefinite;
                if (major == 6) {
                    items = 1;
                } else if (info != 31) {
                    // Every item takes at least one byte: a count beyond the bytes left cannot
                    // be met, and refusing it here keeps the doubling below from wrapping.
                    if (arg > size_ - pos) return fail_eof(size_);
                    items = major == 5 ? arg * 2 : arg;
                    if (items > size_ - pos) return fail_eof(size_);
                }
                if (items != 0) {
                    if (push(start, pending, -1) < 0) return -1;
                    pending = items;
                }
            }
        }
    }

private:
    int push(size_t start, uint64_t outer_pending, int chunk_major) {
        if (n_open_ >= max_open_) {
            fail(start, "the item is nested too deeply");
            return -1;
        }
        if (n_open_ == cap_) {
            const size_t cap = cap_ == 0 ? 16 : cap_ * 2;
            void *grown = PyMem_Realloc(open_, cap * sizeof(Open));
            if (grown == nullptr) {
                PyErr_NoMemory();
                return -1;
            }
            open_ = static_cast<Open *>(grown);
            cap_ = cap;
        }
        open_[n_open_++] = Open{outer_pending, chunk_major};
        return 0;
    }

    Py_ssize_t fail(size_t offset, const char *what) {
        PyErr_Format(st_->decode_error, "%s (byte %zu)", what, offset);
        return -1;
    }
    Py_ssize_t fail_eof(size_t offset) {
        PyErr_Format(st_->decode_eof, "the data ends inside an item (byte %zu)", offset);
        return -1;
    }

    const ModuleState *st_;
    const uint8_t *data_;
    size_t size_;
    size_t max_open_;
    Open *open_ = nullptr;
    size_t n_open_ = 0;
    size_t cap_ = 0;
};

PyObject *item_end(PyObject *module, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_SetString(PyExc_TypeError, "item_end() takes from 1 to 3 positional arguments");
        return nullptr;
    }
    if (!PyBytes_Check(args[0])) {
        PyErr_Format(PyExc_TypeError, "item_end() needs bytes, not '%s'", Py_TYPE(args[0])->tp_name);
        return nullptr;
    }
    Py_ssize_t start = 0;
    Py_ssize_t max_depth = 400;
    if (nargs > 1 && (start = PyLong_AsSsize_t(args[1])) == -1 && PyErr_Occurred()) return nullptr;
    if (nargs > 2 && (max_depth = PyLong_AsSsize_t(args[2])) == -1 && PyErr_Occurred()) return nullptr;
    const Py_ssize_t size = PyBytes_GET_SIZE(args[0]);
    if (start < 0 || start > size || max_depth < 0) {
        PyErr_SetString(PyExc_ValueError, "item_end(): offset or depth out of range");
        return nullptr;
    }
    Skipper skipper(state_of(module), reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(args[0])),
                    static_cast<size_t>(size), static_cast<size_t>(max_depth));
    const Py_ssize_t end = skipper.end_of(static_cast<size_t>(start));
    return end < 0 ? nullptr : PyLong_FromSsize_t(end);
}

PyMethodDef module_methods[] = {
    {"item_end", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(item_end)), METH_FASTCALL,
     "item_end($module, data, offset=0, max_depth=400, /)\n--\n\n"
     "Find where the CBOR item starting at ``offset`` ends, without building any value.\n\n"
     ":param data: the encoded data (``bytes``)\n"
     ":param offset: where the item's initial byte lies\n"
     ":param max_depth: how many indefinite-length items may be open at once\n"
     ":return: the offset just past the item\n"
     ":raises CBORDecodeError: when the bytes are not one well-formed item (``CBORDecodeEOF``\n"
     "    when they end inside it)"},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject *m) {
    Ref core(PyImport_ImportModule("_kelvo"));
    if (!core) return -1;
    ModuleState *st = state_of(m);
    const struct {
        const char *name;
        PyObject **slot;
    } wanted[] = {
        {"CBORDecodeError", &st->decode_error},
        {"CBORDecodeEOF", &st->decode_eof},
    };
    for (const auto &w : wanted) {
        PyObject *t = PyObject_GetAttrString(core.get(), w.name);
        if (t == nullptr) return -1;
        if (!PyExceptionClass_Check(t)) {
            Py_DECREF(t);
            PyErr_Format(PyExc_TypeError, "_kelvo.%s is not an exception class", w.name);
            return -1;
        }
        replace_field(*w.slot, t);
    }
    return 0;
}

int module_traverse(PyObject *m, visitproc visit, void *arg) {
    ModuleState *st = state_of(m);
    if (st == nullptr) return 0;
    Py_VISIT(st->decode_error);
    Py_VISIT(st->decode_eof);
    return 0;
}

int module_clear(PyObject *m) {
    ModuleState *st = state_of(m);
    if (st == nullptr) return 0;
    Py_CLEAR(st->decode_error);
    Py_CLEAR(st->decode_eof);
    return 0;
}

void module_free(void *m) { module_clear(static_cast<PyObject *>(m)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "kelvo._typed",
    "Native support for kelvo's typed decoding: finding the end of one encoded item.",
    sizeof(ModuleState),
    module_methods,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace

}  // namespace kelvo::typed

PyMODINIT_FUNC PyInit__typed(void) { return PyModuleDef_Init(&kelvo::typed::module_def); }
