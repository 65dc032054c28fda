// kelvo._dagcbor: the native half of kelvo.dagcbor (the strict encoder and decoder, and the
// CIDBase type that kelvo.dagcbor.CID extends).
#include "dagcbor/car.h"
#include "dagcbor/cid.h"
#include "dagcbor/decode.h"
#include "dagcbor/encode.h"
#include "dagcbor/keys.h"
#include "lib/core_exceptions.h"
#include "lib/module_def.h"

#include <cstring>

namespace kelvo::dag {

namespace {

ModuleState *state_of(PyObject *m) { return static_cast<ModuleState *>(PyModule_GetState(m)); }

bool is_byte_format(const char *format) {
    if (format == nullptr) return true;
    if (*format == '=' || *format == '>' || *format == '@') ++format;
    return (format[0] == 'B' || format[0] == 'c') && format[1] == '\0';
}

// `data` itself when it is a bytes object, otherwise a bytes copy of its buffer (so that what
// is decoded cannot change under the decoder, whatever another thread does to the original).
PyObject *input_bytes(PyObject *data) {
    if (PyBytes_Check(data)) return Py_NewRef(data);
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_FULL_RO) < 0) {
        PyErr_Clear();
    } else if (view.itemsize != 1 || !is_byte_format(view.format)) {
        PyBuffer_Release(&view);
    } else {
        PyObject *copy = PyBytes_FromStringAndSize(nullptr, view.len);
        if (copy != nullptr && PyBuffer_ToContiguous(PyBytes_AS_STRING(copy), &view, view.len, 'C') < 0) Py_CLEAR(copy);
        PyBuffer_Release(&view);
        return copy;
    }
    Ref name(PyType_GetQualName(Py_TYPE(data)));
    if (name) PyErr_Format(PyExc_TypeError, "a bytes-like object is required, not '%U'", name.get());
    return nullptr;
}

// Reads (data, /, *, strict=True). 0, or -1 with TypeError.
int parse_decode_args(const char *fname, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **data,
                      bool *strict) {
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "%s() takes exactly one positional argument (%zd given)", fname, nargs);
        return -1;
    }
    *data = args[0];
    *strict = true;
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject *name = PyTuple_GET_ITEM(kwnames, i);
        if (!PyUnicode_Check(name) || PyUnicode_CompareWithASCIIString(name, "strict") != 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument %R", fname, name);
            return -1;
        }
        const int truth = PyObject_IsTrue(args[nargs + i]);
        if (truth < 0) return -1;
        *strict = truth != 0;
    }
    return 0;
}

PyObject *dagcbor_dumps(PyObject *module, PyObject *obj) { return encode(state_of(module), obj); }

// The one item that must fill the bytes object `bytes`. New reference or NULL.
PyObject *decode_block(PyObject *module, PyObject *bytes, bool strict) {
    const ModuleState *st = state_of(module);
    const auto *p = reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(bytes));
    const auto n = static_cast<size_t>(PyBytes_GET_SIZE(bytes));
    size_t end;
    Ref holder;
    KeyTable *keys = thread_key_table(st->key_table_name, &holder);
    Ref v(decode_item(st, keys, p, n, 0, strict, &end));
    if (!v) return nullptr;
    if (end != n) return raise_decode_fault(st, "trailing bytes after the item", end);
    return v.release();
}

PyObject *dagcbor_loads(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    // The usual call, one bytes object and no keyword: the caller's reference keeps it alive.
    if (nargs == 1 && kwnames == nullptr && PyBytes_Check(args[0])) return decode_block(module, args[0], true);
    PyObject *data;
    bool strict;
    if (parse_decode_args("loads", args, nargs, kwnames, &data, &strict) < 0) return nullptr;
    Ref bytes(input_bytes(data));
    if (!bytes) return nullptr;
    return decode_block(module, bytes.get(), strict);
}

PyObject *dagcbor_loads_seq(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *data;
    bool strict;
    if (parse_decode_args("loads_seq", args, nargs, kwnames, &data, &strict) < 0) return nullptr;
    Ref bytes(input_bytes(data));
    if (!bytes) return nullptr;
    const ModuleState *st = state_of(module);
    const auto *p = reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(bytes.get()));
    const auto n = static_cast<size_t>(PyBytes_GET_SIZE(bytes.get()));
    Ref items(PyList_New(0));
    if (!items) return nullptr;
    Ref holder;
    KeyTable *keys = thread_key_table(st->key_table_name, &holder);
    for (size_t pos = 0; pos < n;) {
        Ref v(decode_item(st, keys, p, n, pos, strict, &pos));
        if (!v || PyList_Append(items.get(), v.get()) < 0) return nullptr;
    }
    return items.release();
}

PyObject *dagcbor_car_sections(PyObject *module, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 4 || !PyBytes_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "car_sections() takes (bytes, pos, max_section_size, limit)");
        return nullptr;
    }
    const Py_ssize_t pos = PyLong_AsSsize_t(args[1]);
    if (pos == -1 && PyErr_Occurred()) return nullptr;
    const unsigned long long max_section = PyLong_AsUnsignedLongLong(args[2]);
    if (max_section == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    const Py_ssize_t limit = PyLong_AsSsize_t(args[3]);
    if (limit == -1 && PyErr_Occurred()) return nullptr;
    const Py_ssize_t size = PyBytes_GET_SIZE(args[0]);
    if (pos < 0 || pos > size || limit < 1) {
        PyErr_SetString(PyExc_ValueError, "car_sections(): position or limit out of range");
        return nullptr;
    }
    size_t at = static_cast<size_t>(pos);
    Ref sections(car_sections(state_of(module), reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(args[0])),
                              static_cast<size_t>(size), &at, max_section, static_cast<size_t>(limit)));
    if (!sections) return nullptr;
    Ref end(PyLong_FromSize_t(at));
    if (!end) return nullptr;
    return PyTuple_Pack(2, sections.get(), end.get());
}

PyObject *dagcbor_car_iter(PyObject *module, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 3 || !PyBytes_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "car_iter() takes (bytes, pos, max_section_size)");
        return nullptr;
    }
    const Py_ssize_t pos = PyLong_AsSsize_t(args[1]);
    if (pos == -1 && PyErr_Occurred()) return nullptr;
    const unsigned long long max_section = PyLong_AsUnsignedLongLong(args[2]);
    if (max_section == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    if (pos < 0 || pos > PyBytes_GET_SIZE(args[0])) {
        PyErr_SetString(PyExc_ValueError, "car_iter(): position out of range");
        return nullptr;
    }
    return car_iter(state_of(module), args[0], static_cast<size_t>(pos), max_section);
}

PyObject *dagcbor_car_decode_blocks(PyObject *module, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 4 || !PyBytes_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "car_decode_blocks() takes (bytes, pos, max_section_size, strict)");
        return nullptr;
    }
    const Py_ssize_t pos = PyLong_AsSsize_t(args[1]);
    if (pos == -1 && PyErr_Occurred()) return nullptr;
    const unsigned long long max_section = PyLong_AsUnsignedLongLong(args[2]);
    if (max_section == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    const int strict = PyObject_IsTrue(args[3]);
    if (strict < 0) return nullptr;
    const Py_ssize_t size = PyBytes_GET_SIZE(args[0]);
    if (pos < 0 || pos > size) {
        PyErr_SetString(PyExc_ValueError, "car_decode_blocks(): position out of range");
        return nullptr;
    }
    const ModuleState *st = state_of(module);
    Ref holder;
    KeyTable *keys = thread_key_table(st->key_table_name, &holder);
    return car_decode_blocks(st, keys, reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(args[0])),
                             static_cast<size_t>(size), static_cast<size_t>(pos), max_section, strict != 0);
}

PyObject *dagcbor_set_cid_class(PyObject *module, PyObject *cls) {
    ModuleState *st = state_of(module);
    if (!PyType_Check(cls) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(cls), st->cid_base)) {
        PyErr_SetString(PyExc_TypeError, "the CID class must be a subclass of CIDBase");
        return nullptr;
    }
    const PyTypeObject *type = reinterpret_cast<PyTypeObject *>(cls);
    if (type->tp_basicsize != st->cid_base->tp_basicsize || type->tp_dictoffset != 0 ||
        (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) != 0) {
        PyErr_SetString(PyExc_TypeError, "the CID class must not add instance fields (use __slots__ = ())");
        return nullptr;
    }
    // Set once, while kelvo.dagcbor is first imported: readers never see it change.
    if (st->cid_class != nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "the CID class is already set");
        return nullptr;
    }
    st->cid_class = reinterpret_cast<PyTypeObject *>(Py_NewRef(cls));
    Py_RETURN_NONE;
}

PyMethodDef module_methods[] = {
    {"dumps", dagcbor_dumps, METH_O,
     "dumps($module, obj, /)\n--\n\n"
     "Serialize an object to DAG-CBOR.\n\n"
     ":param obj: a dict with str keys, list, tuple, str, bytes, int in -2**64..2**64-1, finite\n"
     "    float, bool, None or CID, nested at most 1024 deep\n"
     ":return: the encoding, with every map's keys sorted by encoded length, then bytewise\n"
     ":raises CBOREncodeTypeError: for a value or key of another type, naming it and its place\n"
     ":raises CBOREncodeValueError: for an integer out of range, NaN, an infinity, or deeper nesting"},
    {"loads", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(dagcbor_loads)), METH_FASTCALL | METH_KEYWORDS,
     "loads($module, data, /, *, strict=True)\n--\n\n"
     "Deserialize one DAG-CBOR block.\n\n"
     ":param data: the block (``bytes``, or any buffer of one-byte items), one item with nothing\n"
     "    after it\n"
     ":param strict: when false, also accept what older encoders wrote: map keys out of order,\n"
     "    integers, lengths and tag heads not in their shortest form, and 16- and 32-bit floats\n"
     ":return: the decoded value; tag-42 items become CID objects\n"
     ":raises CBORDecodeError: naming the byte offset and the rule broken (also given as the\n"
     "    exception's ``offset`` and ``rule`` attributes); CBORDecodeEOF when the data ends early"},
    {"loads_seq", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(dagcbor_loads_seq)),
     METH_FASTCALL | METH_KEYWORDS,
     "loads_seq($module, data, /, *, strict=True)\n--\n\n"
     "Deserialize DAG-CBOR items written back to back (an event-stream frame is a header item and\n"
     "a body item).\n\n"
     ":param data: the items (``bytes``, or any buffer of one-byte items); empty data gives ``[]``\n"
     ":param strict: as for :func:`loads`\n"
     ":return: the list of decoded items\n"
     ":raises CBORDecodeError: as :func:`loads` does"},
    {"car_sections", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(dagcbor_car_sections)), METH_FASTCALL,
     "car_sections($module, data, pos, max_section_size, limit, /)\n--\n\n"
     "Read up to ``limit`` sections of a CARv1 file from ``data[pos]`` on.\n\n"
     ":return: ``(sections, end)``: a list of ``(CID, block bytes)`` and the offset after the last\n"
     "    one; a faulty section after the first ends the list, and the next call raises for it\n"
     ":raises CBORDecodeError: naming the byte offset and the rule for a faulty first section\n"
     "    (CBORDecodeEOF when the data ends inside it)"},
    {"car_iter", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(dagcbor_car_iter)), METH_FASTCALL,
     "car_iter($module, data, pos, max_section_size, /)\n--\n\n"
     "An iterator over the sections of a CARv1 file from ``data[pos]`` on.\n\n"
     ":return: an iterator of ``(CID, block bytes)``; a faulty section raises CBORDecodeError\n"
     "    (CBORDecodeEOF when the data ends inside it) naming its byte offset and the rule when\n"
     "    it is reached, and ends the iteration"},
    {"car_decode_blocks", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(dagcbor_car_decode_blocks)),
     METH_FASTCALL,
     "car_decode_blocks($module, data, pos, max_section_size, strict, /)\n--\n\n"
     "Read every section of a CARv1 file from ``data[pos]`` on and decode each block.\n\n"
     ":return: a dict ``{CID: decoded block}``\n"
     ":raises CBORDecodeError: naming the byte offset in ``data`` and the rule at the first fault"},
    {"_set_cid_class", dagcbor_set_cid_class, METH_O,
     "_set_cid_class($module, cls, /)\n--\n\n"
     "Make tag-42 items decode to instances of ``cls``, a subclass of CIDBase without instance\n"
     "fields. Allowed once."},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject *m) {
    ModuleState *st = state_of(m);
    if (import_core_exceptions({
            {"CBORDecodeError", &st->decode_error},
            {"CBORDecodeEOF", &st->decode_eof},
            {"CBOREncodeTypeError", &st->encode_type_error},
            {"CBOREncodeValueError", &st->encode_value_error},
        }) < 0)
        return -1;
    st->key_table_name = PyUnicode_InternFromString("kelvo._dagcbor.key_table");
    if (st->key_table_name == nullptr) return -1;
    PyObject *base = PyType_FromModuleAndSpec(m, &cid_base_spec, nullptr);
    if (base == nullptr) return -1;
    st->cid_base = reinterpret_cast<PyTypeObject *>(base);
    if (PyModule_AddObjectRef(m, "CIDBase", base) < 0) return -1;
    st->car_iter = reinterpret_cast<PyTypeObject *>(PyType_FromModuleAndSpec(m, &car_iter_spec, nullptr));
    return st->car_iter != nullptr ? 0 : -1;
}

PyModuleDef module_def = module_definition<ModuleState, module_exec>(
    "kelvo._dagcbor",
    "Native support for kelvo.dagcbor: the strict DAG-CBOR encoder and decoder, and the core of "
    "the CID type.",
    module_methods);

}  // namespace

}  // namespace kelvo::dag

PyMODINIT_FUNC PyInit__dagcbor(void) { return PyModuleDef_Init(&kelvo::dag::module_def); }
