// kelvo._scan: the item scanner for CBOR sequences, as one call over a whole buffer (scan)
// and as an object fed piece by piece (Scanner), and the errors that name the item at fault.
#include "lib/access.h"
#include "lib/module_def.h"
#include "scan/scanner.h"
#include "scan/slices.h"

namespace kelvo::scan {

namespace {

struct ModuleState {
    PyObject *sequence_error;  // CBORSequenceError (a CBORDecodeError)
    PyObject *sequence_eof;    // CBORSequenceEOF (also a CBORDecodeEOF)
    PyObject *array_type;      // array.array
    PyObject *scanner_type;

    template <class F>
    void for_each_ref(F &&f) {
        f(sequence_error);
        f(sequence_eof);
        f(array_type);
        f(scanner_type);
    }
};

ModuleState *state_of(PyObject *m) { return static_cast<ModuleState *>(PyModule_GetState(m)); }

constexpr uint64_t kDefaultMaxDepth = 400;
// A piece at least this long is scanned with the thread state detached.
constexpr size_t kDetachFrom = size_t{1} << 20;

// Raises the fault as CBORSequenceError (CBORSequenceEOF when the input ended inside an
// item) with `offset`, `index` and `reason` attributes. Always returns nullptr.
PyObject *raise_fault(const ModuleState *st, const Fault &fault) {
    PyObject *type = fault.eof ? st->sequence_eof : st->sequence_error;
    Ref message(PyUnicode_FromFormat("offset %llu: %s", static_cast<unsigned long long>(fault.offset), fault.reason));
    if (!message) return nullptr;
    Ref error(PyObject_CallOneArg(type, message.get()));
    Ref offset(PyLong_FromUnsignedLongLong(fault.offset));
    Ref index(PyLong_FromUnsignedLongLong(fault.index));
    Ref reason(PyUnicode_FromString(fault.reason));
    if (!error || !offset || !index || !reason) return nullptr;
    if (PyObject_SetAttrString(error.get(), "offset", offset.get()) < 0 ||
        PyObject_SetAttrString(error.get(), "index", index.get()) < 0 ||
        PyObject_SetAttrString(error.get(), "reason", reason.get()) < 0)
        return nullptr;
    PyErr_SetObject(type, error.get());
    return nullptr;
}

PyObject *raise_status(const ModuleState *st, Status status, const Fault &fault) {
    if (status == Status::no_memory) return PyErr_NoMemory();
    return raise_fault(st, fault);
}

// array('Q') holding the offsets.
PyObject *offsets_array(const ModuleState *st, const uint64_t *values, size_t n) {
    Ref raw(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(values), static_cast<Py_ssize_t>(n * 8)));
    if (!raw) return nullptr;
    return PyObject_CallFunction(st->array_type, "sO", "Q", raw.get());
}

bool is_byte_format(const char *format) {
    if (format == nullptr) return true;
    if (*format == '=' || *format == '>' || *format == '@') ++format;
    return (format[0] == 'B' || format[0] == 'c') && format[1] == '\0';
}

// A contiguous byte buffer of `data` (bytes, bytearray, memoryview, mmap, ...), released on exit.
class ByteView {
public:
    ByteView() = default;
    ByteView(const ByteView &) = delete;
    ByteView &operator=(const ByteView &) = delete;
    ~ByteView() {
        if (held_) PyBuffer_Release(&view_);
    }
    int acquire(PyObject *data) {
        if (PyObject_GetBuffer(data, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
            PyErr_Clear();
            return not_bytes_like(data);
        }
        held_ = true;
        if (view_.itemsize != 1 || !is_byte_format(view_.format)) return not_bytes_like(data);
        return 0;
    }
    const uint8_t *data() const { return static_cast<const uint8_t *>(view_.buf); }
    size_t size() const { return static_cast<size_t>(view_.len); }

private:
    static int not_bytes_like(PyObject *data) {
        Ref name(PyType_GetQualName(Py_TYPE(data)));
        if (name) PyErr_Format(PyExc_TypeError, "a contiguous bytes-like object is required, not '%U'", name.get());
        return -1;
    }
    Py_buffer view_{};
    bool held_ = false;
};

int convert_depth(PyObject *obj, uint64_t *out) {
    if (obj == nullptr) {
        *out = kDefaultMaxDepth;
        return 0;
    }
    if (!PyLong_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "max_depth must be an int");
        return -1;
    }
    unsigned long long v = PyLong_AsUnsignedLongLong(obj);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, "max_depth must be a non-negative integer below 2**64");
        return -1;
    }
    *out = v;
    return 0;
}

Status feed_scanner(Scanner &scanner, const uint8_t *data, size_t n, OffsetVec &ends) {
    if (n < kDetachFrom) return scanner.feed(data, n, ends);
    Status status;
    Py_BEGIN_ALLOW_THREADS status = scanner.feed(data, n, ends);
    Py_END_ALLOW_THREADS return status;
}

PyObject *scan(PyObject *module, PyObject *args, PyObject *kwargs) {
    static const char *names[] = {"", "max_depth", "check_utf8", nullptr};  // data is positional-only
    PyObject *data;
    PyObject *depth_obj = nullptr;
    int check_utf8 = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$Op:scan", const_cast<char **>(names), &data, &depth_obj,
                                     &check_utf8))
        return nullptr;
    uint64_t max_depth;
    if (convert_depth(depth_obj, &max_depth) < 0) return nullptr;
    ByteView view;
    if (view.acquire(data) < 0) return nullptr;
    const ModuleState *st = state_of(module);
    Scanner scanner(max_depth, check_utf8 != 0);
    OffsetVec ends;
    Status status = feed_scanner(scanner, view.data(), view.size(), ends);
    if (status == Status::ok) status = scanner.finish();
    if (status != Status::ok) return raise_status(st, status, scanner.fault());
    // Every item starts where the one before it ends.
    uint64_t *v = ends.data();
    for (size_t i = ends.size(); i-- > 1;) v[i] = v[i - 1];
    if (!ends.empty()) v[0] = 0;
    return offsets_array(st, v, ends.size());
}

// ---- Scanner objects

struct ScannerObject {
    PyObject_HEAD
    AccessFlag access;
    Scanner *scanner;
    PyObject *fault;  // the exception of the fault met, once one is
};

ModuleState *state_of_type(PyTypeObject *type) { return static_cast<ModuleState *>(PyType_GetModuleState(type)); }

PyObject *scanner_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    static const char *names[] = {"max_depth", "check_utf8", nullptr};
    PyObject *depth_obj = nullptr;
    int check_utf8 = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$Op:Scanner", const_cast<char **>(names), &depth_obj, &check_utf8))
        return nullptr;
    uint64_t max_depth;
    if (convert_depth(depth_obj, &max_depth) < 0) return nullptr;
    void *memory = PyMem_Malloc(sizeof(Scanner));
    if (memory == nullptr) return PyErr_NoMemory();
    auto *self = reinterpret_cast<ScannerObject *>(type->tp_alloc(type, 0));
    if (self == nullptr) {
        PyMem_Free(memory);
        return nullptr;
    }
    self->scanner = new (memory) Scanner(max_depth, check_utf8 != 0);
    return reinterpret_cast<PyObject *>(self);
}

int scanner_traverse(PyObject *op, visitproc visit, void *arg) {
    auto *self = reinterpret_cast<ScannerObject *>(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(self->fault);
    return 0;
}

int scanner_clear(PyObject *op) {
    Py_CLEAR(reinterpret_cast<ScannerObject *>(op)->fault);
    return 0;
}

void scanner_dealloc(PyObject *op) {
    auto *self = reinterpret_cast<ScannerObject *>(op);
    PyTypeObject *type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    scanner_clear(op);
    if (self->scanner != nullptr) {
        self->scanner->~Scanner();
        PyMem_Free(self->scanner);
    }
    type->tp_free(op);
    Py_DECREF(type);
}

// Keeps the fault as an exception object (so that `fault` can show it) and raises it.
PyObject *record_fault(ScannerObject *self, const ModuleState *st, Status status) {
    raise_status(st, status, self->scanner->fault());
    if (status == Status::fault && self->fault == nullptr) self->fault = PyErr_GetRaisedException();
    if (self->fault != nullptr) PyErr_SetRaisedException(Py_NewRef(self->fault));
    return nullptr;
}

// Shared access for the getters (TraverseAccess is exactly that: a shared hold taken if free).
using SharedHold = TraverseAccess;

PyObject *raise_busy() {
    PyErr_SetString(PyExc_RuntimeError, "the Scanner is in use by another thread");
    return nullptr;
}

PyObject *scanner_feed(PyObject *op, PyTypeObject *cls, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (nargs != 1 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)) {
        PyErr_SetString(PyExc_TypeError, "Scanner.feed() takes exactly one positional argument");
        return nullptr;
    }
    auto *self = reinterpret_cast<ScannerObject *>(op);
    const ModuleState *st = state_of_type(cls);
    ExclusiveAccess access;
    if (!self->access.try_exclusive()) return raise_busy();
    access.adopt(self->access);
    if (self->fault != nullptr) {
        PyErr_SetRaisedException(Py_NewRef(self->fault));
        return nullptr;
    }
    ByteView view;
    if (view.acquire(args[0]) < 0) return nullptr;
    OffsetVec ends;
    const Status status = feed_scanner(*self->scanner, view.data(), view.size(), ends);
    if (status == Status::no_memory) return PyErr_NoMemory();
    if (status == Status::fault) {
        // The items complete before the fault are handed out; the fault waits for the next call.
        raise_fault(st, self->scanner->fault());
        self->fault = PyErr_GetRaisedException();
    }
    return offsets_array(st, ends.data(), ends.size());
}

PyObject *scanner_finish(PyObject *op, PyTypeObject *cls, PyObject *const *, Py_ssize_t nargs, PyObject *kwnames) {
    if (nargs != 0 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)) {
        PyErr_SetString(PyExc_TypeError, "Scanner.finish() takes no arguments");
        return nullptr;
    }
    auto *self = reinterpret_cast<ScannerObject *>(op);
    ExclusiveAccess access;
    if (!self->access.try_exclusive()) return raise_busy();
    access.adopt(self->access);
    if (self->fault != nullptr) {
        PyErr_SetRaisedException(Py_NewRef(self->fault));
        return nullptr;
    }
    const Status status = self->scanner->finish();
    if (status != Status::ok) return record_fault(self, state_of_type(cls), status);
    return PyLong_FromUnsignedLongLong(self->scanner->count());
}

template <uint64_t (Scanner::*Field)() const noexcept>
PyObject *scanner_number(PyObject *op, void *) {
    auto *self = reinterpret_cast<ScannerObject *>(op);
    SharedHold hold(self->access);
    if (!hold.ok()) return raise_busy();
    return PyLong_FromUnsignedLongLong((self->scanner->*Field)());
}

PyObject *scanner_in_item(PyObject *op, void *) {
    auto *self = reinterpret_cast<ScannerObject *>(op);
    SharedHold hold(self->access);
    if (!hold.ok()) return raise_busy();
    return PyBool_FromLong(self->scanner->in_item());
}

PyObject *scanner_saw_sharing(PyObject *op, void *) {
    auto *self = reinterpret_cast<ScannerObject *>(op);
    SharedHold hold(self->access);
    if (!hold.ok()) return raise_busy();
    return PyBool_FromLong(self->scanner->saw_sharing());
}

PyObject *scanner_fault(PyObject *op, void *) {
    auto *self = reinterpret_cast<ScannerObject *>(op);
    SharedHold hold(self->access);
    if (!hold.ok()) return raise_busy();
    return Py_NewRef(self->fault != nullptr ? self->fault : Py_None);
}

PyMethodDef scanner_methods[] = {
    {"feed", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scanner_feed)),
     METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
     "feed($self, data, /)\n--\n\n"
     "Scan the next bytes of the input.\n\n"
     ":param data: the bytes that follow those fed before (any contiguous bytes-like object)\n"
     ":return: ``array('Q')`` of the offsets just past each item that ends in ``data``, counted\n"
     "    from the start of the input\n"
     ":raises CBORSequenceError: the fault met by an earlier call; the call that meets a fault\n"
     "    still returns the items complete before it and keeps the fault in :attr:`fault`"},
    {"finish", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scanner_finish)),
     METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
     "finish($self, /)\n--\n\n"
     "Tell the scanner that the input has ended.\n\n"
     ":return: the number of items in the input\n"
     ":raises CBORSequenceEOF: when the input ends inside an item\n"
     ":raises CBORSequenceError: the fault met by an earlier :meth:`feed`"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef scanner_getset[] = {
    {"offset", scanner_number<&Scanner::offset>, nullptr, "The number of bytes fed so far.", nullptr},
    {"count", scanner_number<&Scanner::count>, nullptr, "The number of complete items so far.", nullptr},
    {"item_start", scanner_number<&Scanner::item_start>, nullptr,
     "The offset where the item being read starts (where the next one will start, between items).", nullptr},
    {"in_item", scanner_in_item, nullptr, "Whether the bytes fed so far end inside an item.", nullptr},
    {"saw_sharing", scanner_saw_sharing, nullptr,
     "Whether a tag 28 or 29 (a shared value, or a reference to one) was met so far.", nullptr},
    {"fault", scanner_fault, nullptr, "The exception of the fault met, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot scanner_slots[] = {
    {Py_tp_doc, const_cast<char *>("Scanner(*, max_depth=400, check_utf8=False)\n--\n\n"
                                   "Finds the items of a CBOR sequence that arrives in pieces, keeping only the open\n"
                                   "containers between pieces (memory does not grow with the size of an item).\n\n"
                                   ":param max_depth: the most arrays, maps and tags open at once\n"
                                   ":param check_utf8: also require valid UTF-8 in text strings")},
    {Py_tp_new, reinterpret_cast<void *>(scanner_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(scanner_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(scanner_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(scanner_clear)},
    {Py_tp_methods, scanner_methods},
    {Py_tp_getset, scanner_getset},
    {0, nullptr},
};

PyType_Spec scanner_spec = {
    "kelvo._scan.Scanner", sizeof(ScannerObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    scanner_slots,
};

// ---- the module

PyMethodDef module_methods[] = {
    {"scan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scan)), METH_VARARGS | METH_KEYWORDS,
     "scan(data, /, *, max_depth=400, check_utf8=False)\n--\n\n"
     "Find the items of a CBOR sequence without decoding them.\n\n"
     ":param data: the whole sequence (any contiguous bytes-like object, ``mmap`` included)\n"
     ":param max_depth: the most arrays, maps and tags open at once\n"
     ":param check_utf8: also require valid UTF-8 in text strings\n"
     ":return: ``array('Q')`` of the offset where each item starts\n"
     ":raises CBORSequenceError: at the first item that is not well-formed, with its ``index`` and\n"
     "    the ``offset`` of the fault\n"
     ":raises CBORSequenceEOF: when the data ends inside an item"},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject *m) {
    ModuleState *st = state_of(m);
    Ref core(PyImport_ImportModule("_kelvo"));
    if (!core) return -1;
    Ref decode_error(PyObject_GetAttrString(core.get(), "CBORDecodeError"));
    Ref decode_eof(PyObject_GetAttrString(core.get(), "CBORDecodeEOF"));
    if (!decode_error || !decode_eof) return -1;
    Ref array_module(PyImport_ImportModule("array"));
    if (!array_module) return -1;
    replace_field(st->array_type, PyObject_GetAttrString(array_module.get(), "array"));
    if (st->array_type == nullptr) return -1;

    replace_field(st->sequence_error, PyErr_NewExceptionWithDoc(
                                          "kelvo.CBORSequenceError",
                                          "Raised for an item of a CBOR sequence that cannot be read or decoded.\n\n"
                                          "``index`` is the position of the item in the sequence (the items before it\n"
                                          "were read), ``offset`` the byte offset of the fault where it is known,\n"
                                          "otherwise of the item's start.",
                                          decode_error.get(), nullptr));
    if (st->sequence_error == nullptr) return -1;
    Ref bases(PyTuple_Pack(2, st->sequence_error, decode_eof.get()));
    if (!bases) return -1;
    replace_field(st->sequence_eof,
                  PyErr_NewExceptionWithDoc("kelvo.CBORSequenceEOF", "Raised when a CBOR sequence ends inside an item.",
                                            bases.get(), nullptr));
    if (st->sequence_eof == nullptr) return -1;
    replace_field(st->scanner_type, PyType_FromModuleAndSpec(m, &scanner_spec, nullptr));
    if (st->scanner_type == nullptr) return -1;
    if (PyModule_AddObjectRef(m, "CBORSequenceError", st->sequence_error) < 0 ||
        PyModule_AddObjectRef(m, "CBORSequenceEOF", st->sequence_eof) < 0 ||
        PyModule_AddObjectRef(m, "Scanner", st->scanner_type) < 0)
        return -1;
    Ref slice_run_type(make_slice_run_type(m));
    if (!slice_run_type || PyModule_AddObjectRef(m, "SliceRun", slice_run_type.get()) < 0) return -1;
    return 0;
}

PyModuleDef module_def = module_definition<ModuleState, module_exec>(
    "kelvo._scan", "The item scanner for CBOR sequences: where each item starts, found without decoding it.",
    module_methods);

}  // namespace

}  // namespace kelvo::scan

PyMODINIT_FUNC PyInit__scan(void) { return PyModuleDef_Init(&kelvo::scan::module_def); }
