// shareable_decoder: marks a semantic decoder as a two-stage decoder by setting the
// attributes the tag dispatch looks for. Used bare or with keyword options as a decorator.
#include "decoder/decoder.h"

#include "lib/args.h"
#include "lib/errors.h"
#include "lib/stdlib.h"

namespace kelvo {

namespace {

PyObject *mark_two_stage(PyObject *func, PyObject *name, PyObject *immutable) {
    if (!PyCallable_Check(func)) {
        PyErr_Format(PyExc_TypeError, "%S is not callable", func);
        return nullptr;
    }
    PyObject *name_attr = stdlib::name(stdlib::Name::kelvo_name);
    PyObject *immutable_attr = stdlib::name(stdlib::Name::kelvo_immutable);
    if (name_attr == nullptr || immutable_attr == nullptr) return nullptr;
    if (PyObject_SetAttr(func, name_attr, name) < 0) return nullptr;
    if (PyObject_SetAttr(func, immutable_attr, immutable) < 0) return nullptr;
    return Py_NewRef(func);
}

// The decorator returned when no function is given: `self` is the tuple (name, immutable).
// It applies them to its first positional argument and ignores every other argument.
PyObject *apply_decorator(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *) {
    if (nargs < 1) {
        PyErr_SetString(PyExc_IndexError, "tuple index out of range");
        return nullptr;
    }
    return mark_two_stage(args[0], PyTuple_GET_ITEM(self, 0), PyTuple_GET_ITEM(self, 1));
}

#define KELVO_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f))

PyMethodDef decorator_def = {
    "shareable_decoder_decorator", KELVO_FASTCALL(apply_decorator), METH_FASTCALL | METH_KEYWORDS,
    "Marks the given function as a two-stage decoder with the options given to shareable_decoder()."};

const char *const kPositional[] = {"func"};
const char *const kKeywords[] = {"name", "immutable"};
const ArgumentSpec kSpec{"shareable_decoder", nullptr, kPositional, 1, 1, 0, kKeywords, 2};

PyObject *shareable_decoder(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *slots[3];
    if (parse_arguments(kSpec, args, nargs, kwnames, slots) < 0) return nullptr;
    PyObject *name = none_as_absent(slots[1]);
    if (name != nullptr) {
        const char *text;
        Py_ssize_t size;
        if (convert_arg("name", convert_str, name, &text, &size) < 0) return nullptr;
    }
    bool immutable = false;
    if (slots[2] != nullptr && convert_arg("immutable", convert_bool, slots[2], &immutable) < 0) return nullptr;
    PyObject *name_value = name != nullptr ? name : Py_None;
    PyObject *immutable_value = immutable ? Py_True : Py_False;
    PyObject *func = none_as_absent(slots[0]);
    if (func != nullptr) return mark_two_stage(func, name_value, immutable_value);
    Ref options(PyTuple_Pack(2, name_value, immutable_value));
    if (!options) return nullptr;
    Ref modname(module != nullptr ? PyModule_GetNameObject(module) : nullptr);
    if (module != nullptr && !modname) return nullptr;
    return PyCMethod_New(&decorator_def, options.get(), modname.get(), nullptr);
}

}  // namespace

PyMethodDef shareable_decoder_def = {
    "shareable_decoder", KELVO_FASTCALL(shareable_decoder), METH_FASTCALL | METH_KEYWORDS,
    "shareable_decoder(func=None, /, *, name=None, immutable=False)\n--\n\n"
    "Decorates a function to be a two-stage decoder.\n\n"
    "A two-stage decoder, registered in ``semantic_decoders``, is first called with the immutable flag "
    "alone and returns a tuple ``(placeholder, second)``; references to the tagged value met while its "
    "payload is decoded resolve to ``placeholder``, and ``second(payload)`` then returns the value. This "
    "lets cyclic structures decode through a semantic tag.\n\n"
    ":param name: the name used for the tag in error messages (the tag number when omitted)\n"
    ":param immutable: if :data:`True`, the tag's payload is decoded as immutable types"};

#undef KELVO_FASTCALL

}  // namespace kelvo
