// SliceRun: the slices of a sequence decoded by any number of threads at once, each thread
// taking the next slice no other has taken; slices may be added while the threads run.
//
// A thread stays in run() from its first slice to the end, waiting without the thread state
// when it is ahead of the slices added so far, and runs no Python code in between (hooks
// aside). Decoding allocates a container for every array and map, and the interpreter counts
// those allocations towards a cyclic collection that starts the next time a thread runs Python
// code; on a free-threaded interpreter a collection stops every thread, waiting until each is
// back in Python code or without its thread state, and walks the whole heap, the items decoded
// so far included. Those items are all reachable and hold no cycle that is garbage: collections
// in the middle would find nothing, and one asked for by a thread between two slices would wait
// for the other threads' whole runs. The collection the allocations call for runs once, when
// the threads return.
#include "scan/slices.h"

#include "lib/access.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <ctime>

namespace kelvo::scan {

namespace {

// One run of items added at once: the items that end at `ends`, the first starting at `first`,
// cut into slices at `cuts` (the first item of each slice, then n_items).
struct Part {
    uint64_t *ends;  // PyMem
    size_t n_items;
    uint64_t *cuts;  // PyMem
    size_t n_slices;
    uint64_t first;
    size_t slice_base;  // the number of slices in the parts before this one
    bool wrap;          // a slice is decoded in one call (no item refers to another)
    PyObject **values;  // the decoded items, nullptr where not yet decoded (PyMem, zeroed)
    PyObject **faults;  // the exception that stopped each slice, or nullptr (PyMem, zeroed)
};

constexpr size_t kMaxParts = 16;

struct SliceRunObject {
    PyObject_HEAD
    AccessFlag access;  // shared while run() decodes, exclusive for place() and items()
    PyObject *one;      // decodes one item from bytes
    PyObject *many;     // decodes the items of a slice wrapped in an array, or nullptr
    Py_buffer view;     // the sequence
    bool held;
    Part parts[kMaxParts];
    size_t n_parts;   // parts published to run() (atomic, release after the part is complete)
    size_t n_slices;  // slices in the published parts (atomic)
    bool closed;      // no part will be added (atomic)
    bool adding;      // a thread is in add() (atomic)
    size_t next;      // the next slice to take (atomic)
    size_t limit;     // slices from this one on are not started: one before failed (atomic)
};

SliceRunObject *as_run(PyObject *op) { return reinterpret_cast<SliceRunObject *>(op); }

template <typename T>
std::atomic_ref<T> atomic(T &field) {
    return std::atomic_ref<T>(field);
}

PyObject *raise_busy() {
    PyErr_SetString(PyExc_RuntimeError, "the SliceRun is in use by another thread");
    return nullptr;
}

// No slice after `k` is started from now on.
void stop_after(SliceRunObject *self, size_t k) {
    auto limit = atomic(self->limit);
    size_t cur = limit.load(std::memory_order_relaxed);
    while (cur > k + 1 && !limit.compare_exchange_weak(cur, k + 1, std::memory_order_relaxed)) {}
}

// The part that holds slice k of the published ones, and k's index within it.
Part *part_of(SliceRunObject *self, size_t k, size_t *local) {
    const size_t n = atomic(self->n_parts).load(std::memory_order_acquire);
    for (size_t p = n; p-- > 0;)
        if (k >= self->parts[p].slice_base) {
            *local = k - self->parts[p].slice_base;
            return &self->parts[p];
        }
    return nullptr;
}

// The head of a definite-length array of n items; returns its length.
size_t array_head(uint8_t *out, uint64_t n) {
    if (n < 24) {
        out[0] = static_cast<uint8_t>(0x80 | n);
        return 1;
    }
    unsigned width = n < 256 ? 1 : n < 65536 ? 2 : n < (uint64_t{1} << 32) ? 4 : 8;
    out[0] = static_cast<uint8_t>(0x80 | (width == 1 ? 24 : width == 2 ? 25 : width == 4 ? 26 : 27));
    for (unsigned i = 0; i < width; ++i) out[1 + i] = static_cast<uint8_t>(n >> (8 * (width - 1 - i)));
    return 1 + width;
}

void put_value(Part &part, size_t index, PyObject *item) {
    PyObject *old = part.values[index];
    part.values[index] = item;
    Py_XDECREF(old);
}

// Decodes slice `local` of `part` into its places. -1 with the exception set.
int decode_slice(SliceRunObject *self, Part &part, size_t local) {
    const size_t lo = part.cuts[local], hi = part.cuts[local + 1];
    const uint64_t start = lo == 0 ? part.first : part.ends[lo - 1];
    const auto *data = static_cast<const uint8_t *>(self->view.buf);
    if (!part.wrap) {
        uint64_t at = start;
        for (size_t i = lo; i < hi; ++i) {
            Ref bytes(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(data + at),
                                                static_cast<Py_ssize_t>(part.ends[i] - at)));
            if (!bytes) return -1;
            PyObject *item = PyObject_CallOneArg(self->one, bytes.get());
            if (item == nullptr) return -1;
            put_value(part, i, item);
            at = part.ends[i];
        }
        return 0;
    }
    const uint64_t size = part.ends[hi - 1] - start;
    uint8_t head[9];
    const size_t head_len = array_head(head, hi - lo);
    Ref bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(head_len + size)));
    if (!bytes) return -1;
    char *out = PyBytes_AS_STRING(bytes.get());
    memcpy(out, head, head_len);
    memcpy(out + head_len, data + start, size);
    Ref result(PyObject_CallOneArg(self->many, bytes.get()));
    if (!result) return -1;
    bytes.reset();
    PyObject *seq = result.get();
    const bool list = PyList_CheckExact(seq);
    if ((!list && !PyTuple_CheckExact(seq)) || Py_SIZE(seq) != static_cast<Py_ssize_t>(hi - lo)) {
        PyErr_SetString(PyExc_RuntimeError, "a slice did not decode to its items");
        return -1;
    }
    PyObject **values = list ? reinterpret_cast<PyListObject *>(seq)->ob_item : &PyTuple_GET_ITEM(seq, 0);
    for (size_t i = lo; i < hi; ++i) put_value(part, i, Py_NewRef(values[i - lo]));
    return 0;
}

// Waits, without the thread state, until slice k is published or no more will be.
// False when there is no slice k.
bool wait_for_slice(SliceRunObject *self, size_t k) {
    if (k < atomic(self->n_slices).load(std::memory_order_acquire)) return true;
    bool published;
    Py_BEGIN_ALLOW_THREADS;
    for (;;) {
        // n_slices before closed: a part added just before closing is seen.
        published = k < atomic(self->n_slices).load(std::memory_order_acquire);
        if (published || atomic(self->closed).load(std::memory_order_acquire) ||
            k >= atomic(self->limit).load(std::memory_order_relaxed))
            break;
        const timespec pause{0, 20000};  // 20 us: the wait ends soon after a part is added
        nanosleep(&pause, nullptr);
    }
    Py_END_ALLOW_THREADS;
    return published || k < atomic(self->n_slices).load(std::memory_order_acquire);
}

PyObject *run(PyObject *op, PyObject *) {
    auto *self = as_run(op);
    TraverseAccess hold(self->access);  // a shared hold, taken if nobody holds it exclusively
    if (!hold.ok()) return raise_busy();
    for (;;) {
        const size_t k = atomic(self->next).fetch_add(1, std::memory_order_relaxed);
        if (k >= atomic(self->limit).load(std::memory_order_relaxed) || !wait_for_slice(self, k)) break;
        size_t local;
        Part *part = part_of(self, k, &local);
        Py_CLEAR(part->faults[local]);  // of an earlier run() that place() took up again
        if (decode_slice(self, *part, local) < 0) {
            part->faults[local] = PyErr_GetRaisedException();
            stop_after(self, k);
        }
    }
    Py_RETURN_NONE;
}

// A copy of the unsigned 64-bit values of `obj` (an array('Q')) in PyMem. -1 with the
// exception set.
int copy_offsets(PyObject *obj, uint64_t **out, size_t *n) {
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) return -1;
    const char *format = view.format != nullptr ? view.format : "B";
    if (*format == '@' || *format == '=') ++format;
    const bool unsigned64 = (format[0] == 'Q' || format[0] == 'L') && format[1] == '\0';
    int status = -1;
    if (!unsigned64 || view.itemsize != 8 || view.len % 8 != 0) {
        PyErr_SetString(PyExc_TypeError, "offsets must be an array('Q')");
    } else {
        *n = static_cast<size_t>(view.len) / 8;
        *out = static_cast<uint64_t *>(PyMem_Malloc(view.len > 0 ? static_cast<size_t>(view.len) : 1));
        if (*out == nullptr) {
            PyErr_NoMemory();
        } else {
            memcpy(*out, view.buf, static_cast<size_t>(view.len));
            status = 0;
        }
    }
    PyBuffer_Release(&view);
    return status;
}

void free_part(Part &part) {
    if (part.values != nullptr)
        for (size_t i = 0; i < part.n_items; ++i) Py_CLEAR(part.values[i]);
    if (part.faults != nullptr)
        for (size_t k = 0; k < part.n_slices; ++k) Py_CLEAR(part.faults[k]);
    PyMem_Free(part.values);
    PyMem_Free(part.faults);
    PyMem_Free(part.ends);
    PyMem_Free(part.cuts);
    part = Part{};
}

// Checks the bounds once, so that the threads can trust them. -1 with the exception set.
int check_part(const SliceRunObject *self, const Part &part) {
    uint64_t previous = part.first;
    for (size_t i = 0; i < part.n_items; ++i) {
        if (part.ends[i] <= previous || part.ends[i] > static_cast<uint64_t>(self->view.len)) {
            PyErr_SetString(PyExc_ValueError, "item ends must increase and lie within the data");
            return -1;
        }
        previous = part.ends[i];
    }
    if (part.n_items == 0 || part.n_slices == 0 || part.cuts[0] != 0 || part.cuts[part.n_slices] != part.n_items) {
        PyErr_SetString(PyExc_ValueError, "slice cuts must run from 0 to the number of items");
        return -1;
    }
    for (size_t k = 1; k <= part.n_slices; ++k)
        if (part.cuts[k] <= part.cuts[k - 1]) {
            PyErr_SetString(PyExc_ValueError, "slice cuts must increase");
            return -1;
        }
    return 0;
}

PyObject *add(PyObject *op, PyObject *args) {
    auto *self = as_run(op);
    PyObject *ends, *cuts;
    unsigned long long first;
    int wrap;
    if (!PyArg_ParseTuple(args, "OOKp:add", &ends, &cuts, &first, &wrap)) return nullptr;
    // One thread at a time adds parts and writes these fields; run() reads a part once it is
    // published.
    bool expected = false;
    if (!atomic(self->adding).compare_exchange_strong(expected, true, std::memory_order_acquire)) return raise_busy();
    struct Adding {
        bool &flag;
        ~Adding() { atomic(flag).store(false, std::memory_order_release); }
    } adding{self->adding};
    const size_t n = atomic(self->n_parts).load(std::memory_order_relaxed);
    if (atomic(self->closed).load(std::memory_order_relaxed) || n == kMaxParts) {
        PyErr_SetString(PyExc_RuntimeError, "no more parts can be added to this SliceRun");
        return nullptr;
    }
    Part part{};
    size_t n_cuts = 0;
    part.first = first;
    part.wrap = wrap != 0 && self->many != nullptr;
    part.slice_base = atomic(self->n_slices).load(std::memory_order_relaxed);
    if (copy_offsets(ends, &part.ends, &part.n_items) < 0 || copy_offsets(cuts, &part.cuts, &n_cuts) < 0) {
        free_part(part);
        return nullptr;
    }
    part.n_slices = n_cuts > 0 ? n_cuts - 1 : 0;
    const size_t total = part.slice_base + part.n_slices;
    if (check_part(self, part) < 0) {
        free_part(part);
        return nullptr;
    }
    part.values = static_cast<PyObject **>(PyMem_Calloc(part.n_items, sizeof(PyObject *)));
    part.faults = static_cast<PyObject **>(PyMem_Calloc(part.n_slices, sizeof(PyObject *)));
    if (part.values == nullptr || part.faults == nullptr) {
        free_part(part);
        return PyErr_NoMemory();
    }
    self->parts[n] = part;
    atomic(self->n_parts).store(n + 1, std::memory_order_release);
    atomic(self->n_slices).store(total, std::memory_order_release);
    Py_RETURN_NONE;
}

PyObject *close(PyObject *op, PyObject *) {
    atomic(as_run(op)->closed).store(true, std::memory_order_release);
    Py_RETURN_NONE;
}

PyObject *fault(PyObject *op, PyObject *) {
    auto *self = as_run(op);
    ExclusiveAccess hold;
    if (!self->access.try_exclusive()) return raise_busy();
    hold.adopt(self->access);
    for (size_t p = 0; p < self->n_parts; ++p) {
        const Part &part = self->parts[p];
        for (size_t k = 0; k < part.n_slices; ++k)
            if (part.faults[k] != nullptr)
                return Py_BuildValue("nO", static_cast<Py_ssize_t>(part.slice_base + k), part.faults[k]);
    }
    Py_RETURN_NONE;
}

PyObject *place(PyObject *op, PyObject *args) {
    auto *self = as_run(op);
    Py_ssize_t k;
    PyObject *items;
    if (!PyArg_ParseTuple(args, "nO!:place", &k, &PyList_Type, &items)) return nullptr;
    ExclusiveAccess hold;
    if (!self->access.try_exclusive()) return raise_busy();
    hold.adopt(self->access);
    size_t local;
    Part *part = k >= 0 ? part_of(self, static_cast<size_t>(k), &local) : nullptr;
    if (part == nullptr || static_cast<size_t>(k) >= self->n_slices) {
        PyErr_SetString(PyExc_ValueError, "no such slice to place");
        return nullptr;
    }
    const size_t lo = part->cuts[local], hi = part->cuts[local + 1];
    if (PyList_GET_SIZE(items) != static_cast<Py_ssize_t>(hi - lo)) {
        PyErr_SetString(PyExc_ValueError, "the items do not fill the slice");
        return nullptr;
    }
    for (size_t i = lo; i < hi; ++i) put_value(*part, i, Py_NewRef(PyList_GET_ITEM(items, i - lo)));
    Py_CLEAR(part->faults[local]);
    // The slices after k were left when k failed: run() takes them up again.
    atomic(self->next).store(static_cast<size_t>(k) + 1, std::memory_order_relaxed);
    atomic(self->limit).store(SIZE_MAX, std::memory_order_relaxed);
    Py_RETURN_NONE;
}

PyObject *take_items(PyObject *op, PyObject *) {
    auto *self = as_run(op);
    ExclusiveAccess hold;
    if (!self->access.try_exclusive()) return raise_busy();
    hold.adopt(self->access);
    size_t total = 0;
    for (size_t p = 0; p < self->n_parts; ++p) {
        const Part &part = self->parts[p];
        for (size_t i = 0; i < part.n_items; ++i)
            if (part.values[i] == nullptr) {
                PyErr_SetString(PyExc_RuntimeError, "not every slice of this SliceRun is decoded");
                return nullptr;
            }
        total += part.n_items;
    }
    PyObject *list = PyList_New(static_cast<Py_ssize_t>(total));
    if (list == nullptr) return nullptr;
    // The references move from the parts to the list.
    size_t at = 0;
    for (size_t p = 0; p < self->n_parts; ++p) {
        Part &part = self->parts[p];
        for (size_t i = 0; i < part.n_items; ++i) {
            PyList_SET_ITEM(list, static_cast<Py_ssize_t>(at++), part.values[i]);
            part.values[i] = nullptr;
        }
    }
    return list;
}

PyObject *slice_run_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    PyObject *one, *many, *data;
    if ((kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) ||
        !PyArg_ParseTuple(args, "OOO:SliceRun", &one, &many, &data)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "SliceRun() takes positional arguments only");
        return nullptr;
    }
    if (!PyCallable_Check(one) || (many != Py_None && !PyCallable_Check(many))) {
        PyErr_SetString(PyExc_TypeError, "SliceRun needs callables to decode with");
        return nullptr;
    }
    Ref op(type->tp_alloc(type, 0));
    if (!op) return nullptr;
    auto *self = as_run(op.get());
    self->one = Py_NewRef(one);
    self->many = many == Py_None ? nullptr : Py_NewRef(many);
    self->limit = SIZE_MAX;
    if (PyObject_GetBuffer(data, &self->view, PyBUF_C_CONTIGUOUS) < 0) return nullptr;
    self->held = true;
    return op.release();
}

int slice_run_traverse(PyObject *op, visitproc visit, void *arg) {
    auto *self = as_run(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(self->one);
    Py_VISIT(self->many);
    for (size_t p = 0; p < self->n_parts; ++p) {
        const Part &part = self->parts[p];
        for (size_t i = 0; i < part.n_items; ++i) Py_VISIT(part.values[i]);
        for (size_t k = 0; k < part.n_slices; ++k) Py_VISIT(part.faults[k]);
    }
    return 0;
}

int slice_run_clear(PyObject *op) {
    auto *self = as_run(op);
    Py_CLEAR(self->one);
    Py_CLEAR(self->many);
    for (size_t p = 0; p < self->n_parts; ++p) {
        Part &part = self->parts[p];
        for (size_t i = 0; i < part.n_items; ++i) Py_CLEAR(part.values[i]);
        for (size_t k = 0; k < part.n_slices; ++k) Py_CLEAR(part.faults[k]);
    }
    return 0;
}

void slice_run_dealloc(PyObject *op) {
    auto *self = as_run(op);
    PyTypeObject *type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    slice_run_clear(op);
    for (size_t p = 0; p < self->n_parts; ++p) free_part(self->parts[p]);
    if (self->held) PyBuffer_Release(&self->view);
    type->tp_free(op);
    Py_DECREF(type);
}

PyMethodDef slice_run_methods[] = {
    {"add", add, METH_VARARGS,
     "add($self, ends, cuts, first, wrap, /)\n--\n\n"
     "Add the items that end at ``ends`` (``array('Q')``), the first starting at offset ``first``,\n"
     "in slices that begin at the items ``cuts`` (``array('Q')``: the first item of each slice,\n"
     "then the number of items). With ``wrap`` a slice is decoded in one call (its items must not\n"
     "refer to each other). Threads in :meth:`run` take them up."},
    {"close", close, METH_NOARGS,
     "close($self, /)\n--\n\n"
     "No more parts will be added: :meth:`run` returns once the slices are all taken."},
    {"run", run, METH_NOARGS,
     "run($self, /)\n--\n\n"
     "Decode slices on the calling thread until :meth:`close` is called and none is left; several\n"
     "threads may run at once. A slice that fails keeps its exception (see :meth:`fault`) and no\n"
     "later slice is started."},
    {"fault", fault, METH_NOARGS,
     "fault($self, /)\n--\n\n"
     ":return: ``(slice, exception)`` for the first slice that failed, or None"},
    {"place", place, METH_VARARGS,
     "place($self, slice, items, /)\n--\n\n"
     "Put the items of a slice decoded elsewhere in place, and let :meth:`run` go on after it."},
    {"items", take_items, METH_NOARGS,
     "items($self, /)\n--\n\n"
     ":return: the list of every item, once all slices are decoded (handed out once)"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slice_run_slots[] = {
    {Py_tp_doc, const_cast<char *>("SliceRun(one, many, data, /)\n--\n\n"
                                   "The slices of a sequence, decoded by the threads that call run().\n\n"
                                   ":param one: decodes one item from bytes\n"
                                   ":param many: decodes the items of a slice wrapped in a definite-length\n"
                                   "    array, or None to decode item by item\n"
                                   ":param data: the sequence (a contiguous buffer, held until the end)")},
    {Py_tp_new, reinterpret_cast<void *>(slice_run_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(slice_run_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(slice_run_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(slice_run_clear)},
    {Py_tp_methods, slice_run_methods},
    {0, nullptr},
};

PyType_Spec slice_run_spec = {
    "kelvo._scan.SliceRun",
    sizeof(SliceRunObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    slice_run_slots,
};

}  // namespace

PyObject *make_slice_run_type(PyObject *m) { return PyType_FromModuleAndSpec(m, &slice_run_spec, nullptr); }

}  // namespace kelvo::scan
