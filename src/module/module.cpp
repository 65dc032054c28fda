// The module's initialisation function and the filling of a new module object.
#include "module/module.h"
#include "decoder/decoder.h"
#include "encoder/encoder.h"
#include "lib/args.h"
#include "lib/errors.h"
#include "lib/module_def.h"
#include "lib/stdlib.h"
#include "module/decode_functions.h"
#include "module/encode_functions.h"
#include "types/exceptions.h"
#include "types/frozendict.h"
#include "types/simple.h"
#include "types/tag.h"

namespace kelvo {

int add_to_module(PyObject *m, PyObject *name, PyObject *value) {
    Ref all(PyObject_GetAttrString(m, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all.reset(PyList_New(0));
        if (!all || PyObject_SetAttrString(m, "__all__", all.get()) < 0) return -1;
    }
    if (!PyList_Check(all.get())) return raise_not_instance(all.get(), "list");
    if (PyList_Append(all.get(), name) < 0) {
        PyErr_Clear();
        return raise_internal("could not append __name__ to __all__");
    }
    return PyObject_SetAttr(m, name, value);
}

namespace {

int add_named(PyObject *m, const char *name, PyObject *value) {
    Ref n(PyUnicode_InternFromString(name));
    if (!n) return -1;
    return add_to_module(m, n.get(), value);
}

int add_class(PyObject *m, const char *name, PyTypeObject *(*getter)()) {
    PyTypeObject *tp = getter();
    if (tp == nullptr) {
        PyObject *cause = PyErr_GetRaisedException();
        PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", name);
        chain_cause(cause);
        return -1;
    }
    return add_named(m, name, reinterpret_cast<PyObject *>(tp));
}

int add_exception(PyObject *m, Exc which) {
    PyObject *tp = exception_type(which);
    if (tp == nullptr) return -1;
    Ref name(PyType_GetName(reinterpret_cast<PyTypeObject *>(tp)));
    if (!name) return -1;
    return add_to_module(m, name.get(), tp);
}

int add_function(PyObject *m, PyMethodDef *def) {
    Ref modname(PyModule_GetNameObject(m));
    if (!modname) return -1;
    Ref fn(PyCMethod_New(def, m, modname.get(), nullptr));
    if (!fn) return -1;
    Ref name(PyObject_GetAttrString(fn.get(), "__name__"));
    if (!name) return -1;
    if (!PyUnicode_Check(name.get())) return raise_not_instance(name.get(), "str");
    return add_to_module(m, name.get(), fn.get());
}

// One entry of the module's contents, in __all__ order.
struct Entry {
    enum Kind { Class, Function, Exception } kind;
    const char *name;
    PyTypeObject *(*class_getter)();
    PyMethodDef *function;
    Exc exception;
};

int module_exec(PyObject *m) {
    if (!PyModule_Check(m)) return raise_not_instance(m, "module");
    const Entry entries[] = {
        {Entry::Class, "CBOREncoder", encoder_type, nullptr, Exc::CBORError},
        {Entry::Function, "shareable_encoder", nullptr, shareable_encoder_def(), Exc::CBORError},
        {Entry::Class, "CBORDecoder", decoder_type, nullptr, Exc::CBORError},
        {Entry::Function, "shareable_decoder", nullptr, &shareable_decoder_def, Exc::CBORError},
        {Entry::Class, "CBORTag", tag_type, nullptr, Exc::CBORError},
        {Entry::Class, "CBORSimpleValue", simple_value_type, nullptr, Exc::CBORError},
        {Entry::Class, "frozendict", frozendict_type, nullptr, Exc::CBORError},
        {Entry::Exception, "CBORError", nullptr, nullptr, Exc::CBORError},
        {Entry::Exception, "CBOREncodeError", nullptr, nullptr, Exc::CBOREncodeError},
        {Entry::Exception, "CBOREncodeTypeError", nullptr, nullptr, Exc::CBOREncodeTypeError},
        {Entry::Exception, "CBOREncodeValueError", nullptr, nullptr, Exc::CBOREncodeValueError},
        {Entry::Exception, "CBORDecodeError", nullptr, nullptr, Exc::CBORDecodeError},
        {Entry::Exception, "CBORDecodeEOF", nullptr, nullptr, Exc::CBORDecodeEOF},
        {Entry::Function, "load", nullptr, &load_def, Exc::CBORError},
        {Entry::Function, "loads", nullptr, &loads_def, Exc::CBORError},
        {Entry::Function, "dump", nullptr, dump_def(), Exc::CBORError},
        {Entry::Function, "dumps", nullptr, dumps_def(), Exc::CBORError},
    };
    for (const Entry &e : entries) {
        int rc = 0;
        switch (e.kind) {
            case Entry::Class:
                rc = add_class(m, e.name, e.class_getter);
                break;
            case Entry::Function:
                rc = add_function(m, e.function);
                break;
            case Entry::Exception:
                rc = add_exception(m, e.exception);
                break;
        }
        if (rc < 0) return -1;
    }
    if (register_frozendict_mapping() < 0) return -1;
    if (add_undefined(m) < 0) return -1;
    return stdlib::init_eager_cells();
}

PyModuleDef module_def = module_definition<module_exec>(
    "_kelvo", "Native CBOR (RFC 8949) encoder and decoder for free-threaded CPython.", nullptr);

}  // namespace

}  // namespace kelvo

PyMODINIT_FUNC PyInit__kelvo(void) { return PyModuleDef_Init(&kelvo::module_def); }
