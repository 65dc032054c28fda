// kelvo._edn: the native half of kelvo.from_diag and kelvo.diag (reading and writing
// diagnostic notation).
#include "edn/parser.h"
#include "edn/writer.h"
#include "lib/module_def.h"

namespace kelvo::edn {

namespace {

struct ModuleState {
    PyObject *error;  // EDNError, a ValueError

    template <class F>
    void for_each_ref(F &&f) {
        f(error);
    }
};

ModuleState *state_of(PyObject *m) { return static_cast<ModuleState *>(PyModule_GetState(m)); }

PyObject *parse_text(PyObject *module, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 4) {
        PyErr_SetString(PyExc_TypeError, "parse() takes exactly 4 arguments (text, seq, max_depth, app_hook)");
        return nullptr;
    }
    if (!PyUnicode_Check(args[0])) {
        PyErr_Format(PyExc_TypeError, "the text must be a str, not '%T'", args[0]);
        return nullptr;
    }
    int seq = PyObject_IsTrue(args[1]);
    if (seq < 0) return nullptr;
    Py_ssize_t max_depth = PyLong_AsSsize_t(args[2]);
    if (max_depth == -1 && PyErr_Occurred()) return nullptr;
    if (!PyCallable_Check(args[3])) {
        PyErr_SetString(PyExc_TypeError, "app_hook must be callable");
        return nullptr;
    }
    Py_ssize_t size;
    const char *text = PyUnicode_AsUTF8AndSize(args[0], &size);
    if (text == nullptr) return nullptr;
    // The str is immutable, so its UTF-8 form stays valid while the call holds the argument.
    return parse(state_of(module)->error, args[3], text, static_cast<size_t>(size), seq != 0, max_depth);
}

PyObject *diag_of(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "diag() takes exactly 3 arguments (data, widths, pretty)");
        return nullptr;
    }
    if (!PyBytes_Check(args[0])) {
        PyErr_Format(PyExc_TypeError, "the data must be bytes, not '%T'", args[0]);
        return nullptr;
    }
    int widths = PyObject_IsTrue(args[1]);
    if (widths < 0) return nullptr;
    int pretty = PyObject_IsTrue(args[2]);
    if (pretty < 0) return nullptr;
    return write_diag(reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(args[0])),
                      static_cast<size_t>(PyBytes_GET_SIZE(args[0])), widths != 0, pretty != 0);
}

PyMethodDef module_methods[] = {
    {"parse", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_text)), METH_FASTCALL,
     "parse($module, text, seq, max_depth, app_hook, /)\n--\n\n"
     "Read diagnostic notation and return the CBOR bytes it describes.\n\n"
     ":param text: the notation\n"
     ":param seq: read a sequence of items (separated by commas or blank space) instead of one\n"
     ":param max_depth: the deepest nesting of arrays, maps, tags, chunked strings and embedded\n"
     "    items accepted\n"
     ":param app_hook: ``app_hook(prefix, data) -> bytes``, called for application-extension\n"
     "    literals other than h'' and b64'', with the CBOR sequence of the literal's input\n"
     ":raises EDNError: naming the line and column of the first fault"},
    {"diag", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(diag_of)), METH_FASTCALL,
     "diag($module, data, widths, pretty, /)\n--\n\n"
     "Write one encoded item in diagnostic notation, exactly as it is encoded.\n\n"
     ":param data: the item (bytes), nothing after it\n"
     ":param widths: mark the width of every head with argument bytes, and of every float\n"
     ":param pretty: put the items of non-empty arrays and maps on indented lines\n"
     ":raises ValueError: without detail, for data that is not exactly one well-formed item\n"
     "    (or nests deeper than 100000 levels)"},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject *m) {
    ModuleState *st = state_of(m);
    PyObject *error = PyErr_NewExceptionWithDoc(
        "kelvo.EDNError",
        "Diagnostic notation that cannot be read: the message starts with the line and column of the\n"
        "fault (also given as the ``line`` and ``column`` attributes, counted from 1, with the\n"
        "message alone as ``reason``).",
        PyExc_ValueError, nullptr);
    if (error == nullptr) return -1;
    replace_field(st->error, error);
    return PyModule_AddObjectRef(m, "EDNError", error);
}

PyModuleDef module_def = module_definition<ModuleState, module_exec>(
    "kelvo._edn",
    "Native support for kelvo.from_diag and kelvo.diag: the reader and writer of CBOR diagnostic "
    "notation.",
    module_methods);

}  // namespace

}  // namespace kelvo::edn

PyMODINIT_FUNC PyInit__edn(void) { return PyModuleDef_Init(&kelvo::edn::module_def); }
