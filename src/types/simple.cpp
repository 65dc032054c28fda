// CBORSimpleValue and the undefined singleton.
#include "types/simple.h"

#include "lib/args.h"
#include "lib/errors.h"
#include "lib/typecell.h"
#include "module/module.h"

#include <atomic>

namespace kelvo {

namespace {

SimpleValueObject *as_simple(PyObject *self) { return reinterpret_cast<SimpleValueObject *>(self); }

// ---- CBORSimpleValue

const char *const kNewPositional[] = {"value"};
const ArgumentSpec kNewSpec{"__new__", "CBORSimpleValue", kNewPositional, 1, 0, 1, nullptr, 0};

PyObject *simple_new(PyTypeObject *, PyObject *args, PyObject *kwargs) {
    PyObject *arg;
    if (parse_arguments_tuple(kNewSpec, args, kwargs, &arg) < 0) return nullptr;
    if (convert_arg("value", check_int_object, arg) < 0) return nullptr;
    long n = PyLong_AsLong(arg);
    if ((n == -1 && PyErr_Occurred()) || n < 0 || n > 255 || (n >= 24 && n <= 31)) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, "simple value out of range (0..23, 32..255)");
        return nullptr;
    }
    return new_simple_value(static_cast<uint8_t>(n));
}

int simple_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    return 0;
}

void simple_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject *get_value(PyObject *self, void *) { return PyLong_FromLong(as_simple(self)->value); }

PyGetSetDef simple_getset[] = {
    {"value", get_value, nullptr, "the simple value number", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject *simple_repr(PyObject *self) { return PyUnicode_FromFormat("CBORSimpleValue(%d)", as_simple(self)->value); }

PyObject *simple_str(PyObject *self) { return PyUnicode_FromFormat("%d", as_simple(self)->value); }

// The hash of the int with the same number, which for 0..255 is the number itself.
Py_hash_t simple_hash(PyObject *self) { return as_simple(self)->value; }

PyObject *simple_richcompare(PyObject *self, PyObject *other, int op) {
    long a = as_simple(self)->value;
    long b;
    if (is_simple_value(other)) {
        b = as_simple(other)->value;
    } else {
        b = PyLong_AsLong(other);
        if (b == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            Py_RETURN_NOTIMPLEMENTED;
        }
        if (b < 0 || b > 255) Py_RETURN_NOTIMPLEMENTED;
    }
    Py_RETURN_RICHCOMPARE(a, b, op);
}

// ---- Pickling and copying

PyObject *simple_reduce(PyObject *self, PyObject *) {
    return Py_BuildValue("(O(i))", reinterpret_cast<PyObject *>(Py_TYPE(self)), as_simple(self)->value);
}

// Immutable and holding no references: every copy is the value itself.
PyObject *simple_copy(PyObject *self, PyObject *) { return Py_NewRef(self); }

PyObject *simple_deepcopy(PyObject *self, PyObject *) { return Py_NewRef(self); }

PyMethodDef simple_methods[] = {
    {"__reduce__", simple_reduce, METH_NOARGS, "__reduce__($self, /)\n--\n\nPickling support."},
    {"__copy__", simple_copy, METH_NOARGS, "__copy__($self, /)\n--\n\nThe value itself: it is immutable."},
    {"__deepcopy__", simple_deepcopy, METH_O, "__deepcopy__($self, memo, /)\n--\n\nThe value itself: it is immutable."},
    {nullptr, nullptr, 0, nullptr},
};

const char kSimpleDoc[] =
    "CBORSimpleValue(value)\n--\n\nRepresents a CBOR \"simple value\".\n\n:param value: the value (0-255)";

PyType_Slot simple_slots[] = {
    {Py_tp_doc, const_cast<char *>(kSimpleDoc)},
    {Py_tp_new, reinterpret_cast<void *>(simple_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(simple_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(simple_traverse)},
    {Py_tp_repr, reinterpret_cast<void *>(simple_repr)},
    {Py_tp_str, reinterpret_cast<void *>(simple_str)},
    {Py_tp_hash, reinterpret_cast<void *>(simple_hash)},
    {Py_tp_richcompare, reinterpret_cast<void *>(simple_richcompare)},
    {Py_tp_getset, simple_getset},
    {Py_tp_methods, simple_methods},
    {0, nullptr},
};

PyType_Spec simple_spec = {"kelvo.CBORSimpleValue", sizeof(SimpleValueObject), 0, kClassFlags, simple_slots};

TypeCell simple_cell{{0, 0}, &simple_spec, nullptr};

// ---- UndefinedType

PyObject *undefined_repr(PyObject *) { return PyUnicode_FromString("undefined"); }

int undefined_bool(PyObject *) { return 0; }

// Pickles by name: the unpickler finds `kelvo.undefined`, the singleton itself, and the
// copy module returns the object unchanged for a reduction to a name.
PyObject *undefined_reduce(PyObject *, PyObject *) { return PyUnicode_FromString("undefined"); }

PyMethodDef undefined_methods[] = {
    {"__reduce__", undefined_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\nPickling support: undefined is pickled by name."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot undefined_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(simple_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(simple_traverse)},
    {Py_tp_repr, reinterpret_cast<void *>(undefined_repr)},
    {Py_nb_bool, reinterpret_cast<void *>(undefined_bool)},
    {Py_tp_methods, undefined_methods},
    {0, nullptr},
};

PyType_Spec undefined_spec = {"kelvo.UndefinedType", sizeof(PyObject), 0,
                              kClassFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION, undefined_slots};

TypeCell undefined_cell{{0, 0}, &undefined_spec, nullptr};

// The first instance made by module initialisation; owns one reference for the process.
std::atomic<PyObject *> undefined_instance{nullptr};

}  // namespace

PyTypeObject *simple_value_type() { return type_from_cell(simple_cell); }

bool is_simple_value(PyObject *obj) {
    return simple_cell.once.filled() && Py_TYPE(obj) == reinterpret_cast<PyTypeObject *>(simple_cell.value);
}

PyObject *new_simple_value(uint8_t value) {
    PyTypeObject *tp = simple_value_type();
    if (tp == nullptr) return nullptr;
    PyObject *self = tp->tp_alloc(tp, 0);
    if (self == nullptr) return nullptr;
    as_simple(self)->value = value;
    return self;
}

PyTypeObject *undefined_type() { return type_from_cell(undefined_cell); }

PyObject *undefined_singleton() { return undefined_instance.load(std::memory_order_acquire); }

bool is_undefined(PyObject *obj) {
    return undefined_cell.once.filled() && Py_TYPE(obj) == reinterpret_cast<PyTypeObject *>(undefined_cell.value);
}

int add_undefined(PyObject *m) {
    PyTypeObject *tp = undefined_type();
    if (tp == nullptr) {
        report_unraisable(nullptr);
        return raise_internal("failed to create type object for `UndefinedType`");
    }
    Ref instance(tp->tp_alloc(tp, 0));
    if (!instance) return -1;
    Ref name(PyUnicode_InternFromString("undefined"));
    if (!name || add_to_module(m, name.get(), instance.get()) < 0) return -1;
    PyObject *expected = nullptr;
    if (undefined_instance.compare_exchange_strong(expected, instance.get(), std::memory_order_acq_rel))
        instance.release();
    return 0;
}

}  // namespace kelvo
