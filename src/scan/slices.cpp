// SliceRun: the slices of a scanned sequence decoded by any number of threads at once, each
// thread taking the next slice no other has taken, the items put in place in one list.
//
// The loop between slices is native on purpose. Decoding allocates a container for every
// array and map, and the interpreter counts those allocations towards a cyclic collection,
// which it starts the next time a thread runs Python code; on a free-threaded interpreter
// that collection stops every thread and walks the whole heap, the items decoded so far
// included. The decoded items are all reachable and hold no cycle that is garbage, so those
// collections would find nothing; a thread that ran Python code between slices would also
// have to wait, for each of them, until every other thread finished its slice. Between
// slices the thread state is detached for a moment instead, so that a collection another
// thread asks for waits for at most one slice.
#include "scan/slices.h"

#include "lib/access.h"

#include <atomic>
#include <cstdint>
#include <cstring>

namespace kelvo::scan {

namespace {

struct SliceRunObject {
    PyObject_HEAD
    AccessFlag access;  // shared while run() decodes, exclusive for place() and items()
    PyObject *one;      // decodes one item from bytes
    PyObject *many;     // decodes the items of a slice wrapped in an array, or nullptr
    Py_buffer view;     // the sequence
    bool held;
    uint64_t *ends;     // the offset just past each item (PyMem)
    size_t n_items;
    size_t *cuts;       // the first item of each slice, then n_items (PyMem)
    size_t n_slices;
    uint64_t first;     // the offset where item 0 starts
    PyObject *items;    // the list of n_items filled in place, until handed out
    PyObject **faults;  // for each slice, the exception that stopped it, or nullptr (PyMem)
    size_t next;        // the next slice to take (atomic)
    size_t limit;       // slices from this one on are not started: one before failed (atomic)
};

SliceRunObject *as_run(PyObject *op) { return reinterpret_cast<SliceRunObject *>(op); }

PyObject *raise_busy() {
    PyErr_SetString(PyExc_RuntimeError, "the SliceRun is in use by another thread");
    return nullptr;
}

size_t take_slice(SliceRunObject *self) {
    return std::atomic_ref<size_t>(self->next).fetch_add(1, std::memory_order_relaxed);
}

size_t slice_limit(SliceRunObject *self) {
    return std::atomic_ref<size_t>(self->limit).load(std::memory_order_relaxed);
}

// No slice after `k` is started from now on.
void stop_after(SliceRunObject *self, size_t k) {
    std::atomic_ref<size_t> limit(self->limit);
    size_t cur = limit.load(std::memory_order_relaxed);
    while (cur > k + 1 && !limit.compare_exchange_weak(cur, k + 1, std::memory_order_relaxed)) {
    }
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

void put_item(SliceRunObject *self, size_t index, PyObject *item) {
    PyObject *old = PyList_GET_ITEM(self->items, index);
    PyList_SET_ITEM(self->items, index, item);
    Py_XDECREF(old);
}

// Decodes slice k into its places. -1 with the exception set.
int decode_slice(SliceRunObject *self, size_t k) {
    const size_t lo = self->cuts[k], hi = self->cuts[k + 1];
    const uint64_t start = lo == 0 ? self->first : self->ends[lo - 1];
    const auto *data = static_cast<const uint8_t *>(self->view.buf);
    if (self->many == nullptr) {
        uint64_t at = start;
        for (size_t i = lo; i < hi; ++i) {
            Ref bytes(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(data + at),
                                                static_cast<Py_ssize_t>(self->ends[i] - at)));
            if (!bytes) return -1;
            PyObject *item = PyObject_CallOneArg(self->one, bytes.get());
            if (item == nullptr) return -1;
            put_item(self, i, item);
            at = self->ends[i];
        }
        return 0;
    }
    const uint64_t size = self->ends[hi - 1] - start;
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
    for (size_t i = lo; i < hi; ++i) put_item(self, i, Py_NewRef(values[i - lo]));
    return 0;
}

PyObject *run(PyObject *op, PyObject *) {
    auto *self = as_run(op);
    TraverseAccess hold(self->access);  // a shared hold, taken if nobody holds it exclusively
    if (!hold.ok()) return raise_busy();
    if (self->items == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "the items of this SliceRun were handed out");
        return nullptr;
    }
    for (;;) {
        const size_t k = take_slice(self);
        if (k >= self->n_slices || k >= slice_limit(self)) break;
        if (decode_slice(self, k) < 0) {
            replace_field(self->faults[k], PyErr_GetRaisedException());
            stop_after(self, k);
        }
        // A moment without the thread state: a collection (or anything else that stops
        // every thread) asked for meanwhile proceeds here.
        Py_BEGIN_ALLOW_THREADS;
        Py_END_ALLOW_THREADS;
    }
    Py_RETURN_NONE;
}

PyObject *fault(PyObject *op, PyObject *) {
    auto *self = as_run(op);
    ExclusiveAccess hold;
    if (!self->access.try_exclusive()) return raise_busy();
    hold.adopt(self->access);
    for (size_t k = 0; k < self->n_slices; ++k)
        if (self->faults[k] != nullptr) return Py_BuildValue("nO", static_cast<Py_ssize_t>(k), self->faults[k]);
    Py_RETURN_NONE;
}

PyObject *place(PyObject *op, PyObject *args) {
    auto *self = as_run(op);
    Py_ssize_t k;
    PyObject *part;
    if (!PyArg_ParseTuple(args, "nO!:place", &k, &PyList_Type, &part)) return nullptr;
    ExclusiveAccess hold;
    if (!self->access.try_exclusive()) return raise_busy();
    hold.adopt(self->access);
    if (self->items == nullptr || k < 0 || static_cast<size_t>(k) >= self->n_slices) {
        PyErr_SetString(PyExc_ValueError, "no such slice to place");
        return nullptr;
    }
    const size_t lo = self->cuts[k], hi = self->cuts[k + 1];
    if (PyList_GET_SIZE(part) != static_cast<Py_ssize_t>(hi - lo)) {
        PyErr_SetString(PyExc_ValueError, "the items do not fill the slice");
        return nullptr;
    }
    for (size_t i = lo; i < hi; ++i) put_item(self, i, Py_NewRef(PyList_GET_ITEM(part, i - lo)));
    Py_CLEAR(self->faults[k]);
    // The slices after k were left when k failed: run() takes them up again.
    std::atomic_ref<size_t>(self->next).store(static_cast<size_t>(k) + 1, std::memory_order_relaxed);
    std::atomic_ref<size_t>(self->limit).store(self->n_slices, std::memory_order_relaxed);
    Py_RETURN_NONE;
}

PyObject *take_items(PyObject *op, PyObject *) {
    auto *self = as_run(op);
    ExclusiveAccess hold;
    if (!self->access.try_exclusive()) return raise_busy();
    hold.adopt(self->access);
    if (self->items == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "the items of this SliceRun were handed out");
        return nullptr;
    }
    for (size_t i = 0; i < self->n_items; ++i)
        if (PyList_GET_ITEM(self->items, i) == nullptr) {
            PyErr_SetString(PyExc_RuntimeError, "not every slice of this SliceRun is decoded");
            return nullptr;
        }
    return std::exchange(self->items, nullptr);
}

// A copy of the unsigned 64-bit values of `obj` (an array('Q') or any buffer of them) in
// PyMem. -1 with the exception set.
int copy_offsets(PyObject *obj, uint64_t **out, size_t *n) {
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_C_CONTIGUOUS) < 0) return -1;
    int status = -1;
    if (view.itemsize != 8 || view.len % 8 != 0) {
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

int slice_run_init(SliceRunObject *self, PyObject *one, PyObject *many, PyObject *data, PyObject *ends,
                   PyObject *cuts, unsigned long long first) {
    if (!PyCallable_Check(one) || (many != Py_None && !PyCallable_Check(many))) {
        PyErr_SetString(PyExc_TypeError, "SliceRun needs callables to decode with");
        return -1;
    }
    self->one = Py_NewRef(one);
    self->many = many == Py_None ? nullptr : Py_NewRef(many);
    if (PyObject_GetBuffer(data, &self->view, PyBUF_C_CONTIGUOUS) < 0) return -1;
    self->held = true;
    if (copy_offsets(ends, &self->ends, &self->n_items) < 0) return -1;
    uint64_t *raw_cuts = nullptr;
    size_t n_cuts = 0;
    if (copy_offsets(cuts, &raw_cuts, &n_cuts) < 0) return -1;
    self->cuts = reinterpret_cast<size_t *>(raw_cuts);  // the same width: static_assert below
    static_assert(sizeof(size_t) == sizeof(uint64_t), "slice bounds are kept as size_t");
    // The bounds are checked once here, so that the loop can trust them.
    self->first = first;
    uint64_t previous = first;
    for (size_t i = 0; i < self->n_items; ++i) {
        if (self->ends[i] <= previous || self->ends[i] > static_cast<uint64_t>(self->view.len)) {
            PyErr_SetString(PyExc_ValueError, "item ends must increase and lie within the data");
            return -1;
        }
        previous = self->ends[i];
    }
    if (n_cuts < 1 || self->cuts[0] != 0 || self->cuts[n_cuts - 1] != self->n_items) {
        PyErr_SetString(PyExc_ValueError, "slice cuts must run from 0 to the number of items");
        return -1;
    }
    for (size_t k = 1; k < n_cuts; ++k)
        if (self->cuts[k] <= self->cuts[k - 1]) {
            PyErr_SetString(PyExc_ValueError, "slice cuts must increase");
            return -1;
        }
    self->n_slices = n_cuts - 1;
    self->limit = self->n_slices;
    self->faults = static_cast<PyObject **>(PyMem_Calloc(self->n_slices + 1, sizeof(PyObject *)));
    if (self->faults == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    self->items = PyList_New(static_cast<Py_ssize_t>(self->n_items));
    return self->items == nullptr ? -1 : 0;
}

PyObject *slice_run_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    PyObject *one, *many, *data, *ends, *cuts;
    unsigned long long first = 0;
    if ((kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) ||
        !PyArg_ParseTuple(args, "OOOOO|K:SliceRun", &one, &many, &data, &ends, &cuts, &first)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "SliceRun() takes positional arguments only");
        return nullptr;
    }
    Ref self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    if (slice_run_init(as_run(self.get()), one, many, data, ends, cuts, first) < 0) return nullptr;
    return self.release();
}

int slice_run_traverse(PyObject *op, visitproc visit, void *arg) {
    auto *self = as_run(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(self->one);
    Py_VISIT(self->many);
    Py_VISIT(self->items);
    if (self->faults != nullptr)
        for (size_t k = 0; k < self->n_slices; ++k) Py_VISIT(self->faults[k]);
    return 0;
}

int slice_run_clear(PyObject *op) {
    auto *self = as_run(op);
    Py_CLEAR(self->one);
    Py_CLEAR(self->many);
    Py_CLEAR(self->items);
    if (self->faults != nullptr)
        for (size_t k = 0; k < self->n_slices; ++k) Py_CLEAR(self->faults[k]);
    return 0;
}

void slice_run_dealloc(PyObject *op) {
    auto *self = as_run(op);
    PyTypeObject *type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    slice_run_clear(op);
    PyMem_Free(self->faults);
    PyMem_Free(self->ends);
    PyMem_Free(self->cuts);
    if (self->held) PyBuffer_Release(&self->view);
    type->tp_free(op);
    Py_DECREF(type);
}

PyMethodDef slice_run_methods[] = {
    {"run", run, METH_NOARGS,
     "run($self, /)\n--\n\n"
     "Decode slices until none is left, on the calling thread; several threads may run at once.\n"
     "A slice that fails keeps its exception (see :meth:`fault`) and no later slice is started."},
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
    {Py_tp_doc, const_cast<char *>("SliceRun(one, many, data, ends, cuts, first=0, /)\n--\n\n"
                                   "The slices of a scanned sequence, decoded by the threads that call run().\n\n"
                                   ":param one: decodes one item from bytes\n"
                                   ":param many: decodes the items of a slice wrapped in a definite-length\n"
                                   "    array, or None to decode item by item\n"
                                   ":param data: the sequence (a contiguous buffer, held until the end)\n"
                                   ":param ends: ``array('Q')``, the offset just past each item\n"
                                   ":param cuts: ``array('Q')``, the first item of each slice, then the\n"
                                   "    number of items\n"
                                   ":param first: the offset in ``data`` where the first item starts")},
    {Py_tp_new, reinterpret_cast<void *>(slice_run_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(slice_run_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(slice_run_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(slice_run_clear)},
    {Py_tp_methods, slice_run_methods},
    {0, nullptr},
};

PyType_Spec slice_run_spec = {
    "kelvo._scan.SliceRun", sizeof(SliceRunObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, slice_run_slots,
};

}  // namespace

PyObject *make_slice_run_type(PyObject *m) { return PyType_FromModuleAndSpec(m, &slice_run_spec, nullptr); }

}  // namespace kelvo::scan
