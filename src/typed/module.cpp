// kelvo._typed: the native half of typed decoding (the typed walker, and finding where one
// encoded item ends).
#include "typed/program.h"

namespace kelvo::typed {

namespace {

ModuleState *state_of(PyObject *m) { return static_cast<ModuleState *>(PyModule_GetState(m)); }

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
    Skipper skipper(&state_of(module)->errors, reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(args[0])),
                    static_cast<size_t>(size), static_cast<size_t>(max_depth));
    const Py_ssize_t end = skipper.end_of(static_cast<size_t>(start));
    return end < 0 ? nullptr : PyLong_FromSsize_t(end);
}

PyObject *compile(PyObject *module, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "compile() takes 2 positional arguments");
        return nullptr;
    }
    const Py_ssize_t max_depth = PyLong_AsSsize_t(args[1]);
    if (max_depth == -1 && PyErr_Occurred()) return nullptr;
    if (max_depth < 0) {
        PyErr_SetString(PyExc_ValueError, "compile(): max_depth must not be negative");
        return nullptr;
    }
    return compile_program(state_of(module), args[0], max_depth);
}

PyMethodDef module_methods[] = {
    {"compile", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compile)), METH_FASTCALL,
     "compile($module, plan, max_depth, /)\n--\n\n"
     "Compile a type plan for the native typed walker.\n\n"
     ":param plan: the plan, as kelvo's typed codec builds it\n"
     ":param max_depth: the deepest nesting the walker follows\n"
     ":return: a ``Program`` whose ``decode(data)`` builds the typed value"},
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
        {"CBORDecodeError", &st->errors.decode_error},
        {"CBORDecodeEOF", &st->errors.decode_eof},
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
    PyObject *loads = PyObject_GetAttrString(core.get(), "loads");
    if (loads == nullptr) return -1;
    replace_field(st->loads, loads);
    PyObject *program_type = PyType_FromModuleAndSpec(m, &program_spec, nullptr);
    if (program_type == nullptr) return -1;
    replace_field(st->program_type, program_type);
    return 0;
}

int module_traverse(PyObject *m, visitproc visit, void *arg) {
    ModuleState *st = state_of(m);
    if (st == nullptr) return 0;
    Py_VISIT(st->errors.decode_error);
    Py_VISIT(st->errors.decode_eof);
    Py_VISIT(st->loads);
    Py_VISIT(st->program_type);
    return 0;
}

int module_clear(PyObject *m) {
    ModuleState *st = state_of(m);
    if (st == nullptr) return 0;
    Py_CLEAR(st->errors.decode_error);
    Py_CLEAR(st->errors.decode_eof);
    Py_CLEAR(st->loads);
    Py_CLEAR(st->program_type);
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
    "Native support for kelvo's typed decoding: the typed walker, and finding the end of one "
    "encoded item.",
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
