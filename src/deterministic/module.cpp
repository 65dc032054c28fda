// kelvo._deterministic: the native half of kelvo.deterministic (checking, and bringing the
// encoder's output into deterministic form).
#include "deterministic/walker.h"

#include "lib/core_exceptions.h"
#include "lib/module_def.h"

namespace kelvo::det {

namespace {

// The exception types come from _kelvo, so that callers catch one hierarchy.
struct ModuleState {
    PyObject *decode_error;
    PyObject *decode_eof;
    PyObject *encode_value_error;

    template <class F>
    void for_each_ref(F &&f) {
        f(decode_error);
        f(decode_eof);
        f(encode_value_error);
    }
};

ModuleState *state_of(PyObject *m) { return static_cast<ModuleState *>(PyModule_GetState(m)); }

ErrorTypes errors_of(PyObject *m) {
    const ModuleState *st = state_of(m);
    return ErrorTypes{st->decode_error, st->decode_eof, st->encode_value_error};
}

bool is_byte_format(const char *format) {
    if (format == nullptr) return true;
    if (*format == '=' || *format == '>' || *format == '@') ++format;
    return (format[0] == 'B' || format[0] == 'c') && format[1] == '\0';
}

PyObject *raise_not_bytes_like(PyObject *data) {
    Ref name(PyType_GetQualName(Py_TYPE(data)));
    if (!name) return nullptr;
    PyErr_Format(PyExc_TypeError, "a bytes-like object is required, not '%U'", name.get());
    return nullptr;
}

// `data` itself when it is a bytes object, otherwise a bytes copy of its buffer (so that
// what is checked is what gets decoded, whatever another thread does to the original).
PyObject *input_bytes(PyObject *data) {
    if (PyBytes_Check(data)) return Py_NewRef(data);
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_FULL_RO) < 0) {
        PyErr_Clear();
        return raise_not_bytes_like(data);
    }
    if (view.itemsize != 1 || !is_byte_format(view.format)) {
        PyBuffer_Release(&view);
        return raise_not_bytes_like(data);
    }
    PyObject *copy = PyBytes_FromStringAndSize(nullptr, view.len);
    if (copy != nullptr && PyBuffer_ToContiguous(PyBytes_AS_STRING(copy), &view, view.len, 'C') < 0) Py_CLEAR(copy);
    PyBuffer_Release(&view);
    return copy;
}

PyObject *check_input(PyObject *module, PyObject *data) {
    Ref bytes(input_bytes(data));
    if (!bytes) return nullptr;
    bool keys_may_compare_equal = false;
    if (check_deterministic(errors_of(module), reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(bytes.get())),
                            static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())), &keys_may_compare_equal) < 0)
        return nullptr;
    return PyTuple_Pack(2, bytes.get(), keys_may_compare_equal ? Py_True : Py_False);
}

PyObject *check_sequence(PyObject *module, PyObject *data) {
    Ref bytes(input_bytes(data));
    if (!bytes) return nullptr;
    Py_ssize_t count = check_deterministic_sequence(errors_of(module),
                                                    reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(bytes.get())),
                                                    static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
    if (count < 0) return nullptr;
    return PyLong_FromSsize_t(count);
}

PyObject *deterministic_form(PyObject *module, PyObject *encoded) {
    return make_deterministic(errors_of(module), encoded);
}

PyMethodDef module_methods[] = {
    {"check_input", check_input, METH_O,
     "check_input($module, data, /)\n--\n\n"
     "Check that a bytes-like object holds exactly one CBOR item in deterministic encoding.\n\n"
     ":param data: the CBOR data\n"
     ":return: ``(bytes, keys_may_compare_equal)``: the data as ``bytes`` (the object itself when it\n"
     "    is one), and whether some map key holds a float, a boolean or a tag, so that two distinct\n"
     "    keys may decode to equal Python values\n"
     ":raises CBORDecodeError: naming the byte offset and the rule at the first departure"},
    {"check_sequence", check_sequence, METH_O,
     "check_sequence($module, data, /)\n--\n\n"
     "Check that a bytes-like object holds a CBOR sequence (items back to back, possibly none)\n"
     "whose every item is in deterministic encoding.\n\n"
     ":param data: the CBOR sequence\n"
     ":return: the number of items\n"
     ":raises CBORDecodeError: naming the byte offset and the rule at the first departure"},
    {"deterministic_form", deterministic_form, METH_O,
     "deterministic_form($module, encoded, /)\n--\n\n"
     "Bring the output of ``dumps`` into deterministic encoding: floats in their shortest exact\n"
     "width, map entries and set members in the bytewise order of their encodings.\n\n"
     ":param encoded: the output of ``dumps(obj)`` (with or without ``canonical``)\n"
     ":return: the deterministic encoding (``encoded`` itself when nothing had to change)\n"
     ":raises CBOREncodeValueError: when two keys or members encode identically"},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject *m) {
    ModuleState *st = state_of(m);
    return import_core_exceptions({
        {"CBORDecodeError", &st->decode_error},
        {"CBORDecodeEOF", &st->decode_eof},
        {"CBOREncodeValueError", &st->encode_value_error},
    });
}

PyModuleDef module_def = module_definition<ModuleState, module_exec>(
    "kelvo._deterministic",
    "Native support for kelvo.deterministic: the deterministic-encoding check, and the pass that "
    "brings the encoder's output into deterministic form.",
    module_methods);

}  // namespace

}  // namespace kelvo::det

PyMODINIT_FUNC PyInit__deterministic(void) { return PyModuleDef_Init(&kelvo::det::module_def); }
