// kelvo._typed: the native half of typed decoding (the typed walker, and finding where one
// encoded item ends).
#include "typed/program.h"
#include "typed/rows.h"
#include "typed/writer.h"

#include "lib/core_exceptions.h"
#include "lib/module_def.h"

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
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "compile() takes 3 positional arguments");
        return nullptr;
    }
    const Py_ssize_t max_depth = PyLong_AsSsize_t(args[1]);
    if (max_depth == -1 && PyErr_Occurred()) return nullptr;
    if (max_depth < 0) {
        PyErr_SetString(PyExc_ValueError, "compile(): max_depth must not be negative");
        return nullptr;
    }
    return compile_program(state_of(module), args[0], max_depth, args[2]);
}

PyObject *fields_body(PyObject *row, PyObject *value);

// write_fields(table, fallback, encoder, value): the encoder's `default` hook for classes.
// table maps a class to (attribute names, wire keys, as_array); such a value is written as the
// map (or array) of its fields through encoder.encode, anything else goes to fallback.
PyObject *write_fields(PyObject *module, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 4 || !PyDict_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "write_fields() takes a dict and 3 more positional arguments");
        return nullptr;
    }
    PyObject *encoder = args[2], *value = args[3];
    PyObject *entry = nullptr;
    if (PyDict_GetItemRef(args[0], reinterpret_cast<PyObject *>(Py_TYPE(value)), &entry) < 0) return nullptr;
    if (entry == nullptr) {
        PyObject *rest[] = {encoder, value};
        return PyObject_Vectorcall(args[1], rest, 2, nullptr);
    }
    Ref row(entry);
    Ref body(fields_body(entry, value));
    if (!body) return nullptr;
    return PyObject_CallMethodOneArg(encoder, state_of(module)->encode_name, body.get());
}

// The body of a plain class instance: a new dict (or list) of its fields, or NULL.
PyObject *fields_body(PyObject *table_row, PyObject *value) {
    Row row;
    if (!read_row(table_row, row)) return nullptr;
    if (row.as_array) {
        Ref body(PyList_New(row.n));
        if (!body) return nullptr;
        for (Py_ssize_t i = 0; i < row.n; ++i) {
            PyObject *v = field_value(row, i, value);
            if (v == nullptr) return nullptr;
            PyList_SET_ITEM(body.get(), i, v);
        }
        return body.release();
    }
    Ref body(PyDict_New());
    if (!body) return nullptr;
    for (Py_ssize_t i = 0; i < row.n; ++i) {
        Ref v(field_value(row, i, value));
        if (!v || PyDict_SetItem(body.get(), PyTuple_GET_ITEM(row.keys, i), v.get()) < 0) return nullptr;
    }
    return body.release();
}

// Replaces, in a copy of the containers that hold them, every instance of a class of the table
// by the dict (or list) of its fields; what holds none is returned as it is.
class Flattener {
public:
    Flattener(PyObject *table, PyObject *others, PyObject *classify, Py_ssize_t max_depth, PyObject *memo)
        : table_(table), others_(others), classify_(classify), max_depth_(max_depth), memo_(memo) {}

    PyObject *flatten(PyObject *o, Py_ssize_t depth) {
        PyTypeObject *t = Py_TYPE(o);
        if (t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type || o == Py_None ||
            t == &PyBytes_Type)
            return Py_NewRef(o);
        if (depth > max_depth_) {
            PyErr_SetString(PyExc_RecursionError, "the value is nested too deeply to flatten");
            return nullptr;
        }
        if (memo_ != nullptr) return flatten_shared(o, depth);
        if (t == &PyList_Type) return flatten_list(o, depth + 1);
        if (PyTuple_Check(o)) return flatten_tuple(o, depth + 1);
        if (t == &PyDict_Type) return flatten_dict(o, depth + 1);
        for (int attempt = 0; attempt < 2; ++attempt) {
            PyObject *row = nullptr;
            if (PyDict_GetItemRef(table_, reinterpret_cast<PyObject *>(t), &row) < 0) return nullptr;
            if (row != nullptr) {
                Ref owned(row);
                return flatten_fields(row, o, depth + 1);
            }
            const int known = PyDict_Contains(others_, reinterpret_cast<PyObject *>(t));
            if (known < 0) return nullptr;
            if (known == 1 || attempt == 1) break;
            // A class seen for the first time: the Python side files it in one of the tables.
            Ref done(PyObject_CallOneArg(classify_, reinterpret_cast<PyObject *>(t)));
            if (!done) return nullptr;
        }
        return Py_NewRef(o);
    }

private:
    // With shared values kept: every container and instance becomes one new container, made
    // and remembered before its content, so that a value met twice (or inside itself) maps to
    // the same container and the encoder can refer back to it.
    PyObject *flatten_shared(PyObject *o, Py_ssize_t depth) {
        Ref id(PyLong_FromVoidPtr(o));
        if (!id) return nullptr;
        PyObject *known = nullptr;
        if (PyDict_GetItemRef(memo_, id.get(), &known) < 0) return nullptr;
        if (known != nullptr) return known;
        PyTypeObject *t = Py_TYPE(o);
        PyObject *row = nullptr;
        if (t == &PyList_Type || t == &PyDict_Type) {
            Ref copy(t == &PyList_Type ? PyList_New(0) : PyDict_New());
            if (!copy || PyDict_SetItem(memo_, id.get(), copy.get()) < 0) return nullptr;
            if (keep_alive(o) < 0) return nullptr;
            Ref filled(t == &PyList_Type ? flatten_list(o, depth + 1) : flatten_dict(o, depth + 1));
            if (!filled) return nullptr;
            if (t == &PyList_Type) {
                if (PyList_SetSlice(copy.get(), 0, 0, filled.get()) < 0) return nullptr;
            } else if (PyDict_Update(copy.get(), filled.get()) < 0) {
                return nullptr;
            }
            return copy.release();
        }
        if (PyDict_GetItemRef(table_, reinterpret_cast<PyObject *>(t), &row) < 0) return nullptr;
        if (row == nullptr) {
            if (PyTuple_Check(o)) return flatten_tuple(o, depth + 1);
            PyObject *saved = memo_;
            memo_ = nullptr;  // classify it through the plain path, once
            Ref same(flatten(o, depth));
            memo_ = saved;
            if (!same) return nullptr;
            if (same.get() == o) return same.release();
            return flatten_shared(o, depth);
        }
        Ref owned(row);
        Row shape;
        if (!read_row(row, shape)) return nullptr;
        const bool as_array = shape.as_array;
        Ref copy(as_array ? PyList_New(0) : PyDict_New());
        if (!copy || PyDict_SetItem(memo_, id.get(), copy.get()) < 0) return nullptr;
        if (keep_alive(o) < 0) return nullptr;
        Ref filled(flatten_fields(row, o, depth + 1));
        if (!filled) return nullptr;
        if (as_array) {
            if (PyList_SetSlice(copy.get(), 0, 0, filled.get()) < 0) return nullptr;
        } else if (PyDict_Update(copy.get(), filled.get()) < 0) {
            return nullptr;
        }
        return copy.release();
    }

    // The memo is keyed by address: the originals are held until the walk ends, so that no
    // address is reused for another object meanwhile.
    int keep_alive(PyObject *o) {
        Ref key(PyLong_FromVoidPtr(reinterpret_cast<char *>(o) + 1));
        if (!key) return -1;
        return PyDict_SetItem(memo_, key.get(), o);
    }

    // The dict (or list) of an instance's fields, each flattened in turn.
    PyObject *flatten_fields(PyObject *table_row, PyObject *o, Py_ssize_t depth) {
        Row row;
        if (!read_row(table_row, row)) return nullptr;
        Ref body(row.as_array ? PyList_New(row.n) : PyDict_New());
        if (!body) return nullptr;
        for (Py_ssize_t i = 0; i < row.n; ++i) {
            Ref v(field_value(row, i, o));
            if (!v) return nullptr;
            Ref flat(flatten(v.get(), depth));
            if (!flat) return nullptr;
            if (row.as_array)
                PyList_SET_ITEM(body.get(), i, flat.release());
            else if (PyDict_SetItem(body.get(), PyTuple_GET_ITEM(row.keys, i), flat.get()) < 0)
                return nullptr;
        }
        return body.release();
    }

    PyObject *flatten_list(PyObject *o, Py_ssize_t depth) {
        Ref out;
        for (Py_ssize_t i = 0;; ++i) {
            PyObject *item = PyList_GetItemRef(o, i);
            if (item == nullptr) {
                if (!PyErr_ExceptionMatches(PyExc_IndexError)) return nullptr;
                PyErr_Clear();
                break;
            }
            Ref held(item);
            Ref flat(flatten(item, depth));
            if (!flat) return nullptr;
            if (!out && flat.get() != item) {
                out.reset(PyList_GetSlice(o, 0, i));
                if (!out) return nullptr;
            }
            if (out && PyList_Append(out.get(), flat.get()) < 0) return nullptr;
        }
        return out ? out.release() : Py_NewRef(o);
    }

    PyObject *flatten_tuple(PyObject *o, Py_ssize_t depth) {
        const Py_ssize_t n = PyTuple_GET_SIZE(o);
        Ref out;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *item = PyTuple_GET_ITEM(o, i);
            Ref flat(flatten(item, depth));
            if (!flat) return nullptr;
            if (!out && flat.get() != item) {
                out.reset(PyTuple_New(n));
                if (!out) return nullptr;
                for (Py_ssize_t j = 0; j < i; ++j) PyTuple_SET_ITEM(out.get(), j, Py_NewRef(PyTuple_GET_ITEM(o, j)));
            }
            if (out) PyTuple_SET_ITEM(out.get(), i, flat.release());
        }
        return out ? out.release() : Py_NewRef(o);
    }

    PyObject *flatten_dict(PyObject *o, Py_ssize_t depth) {
        // A snapshot of the entries, so that another thread changing the dict cannot move
        // them under the walk.
        Ref items(PyDict_Items(o));
        if (!items) return nullptr;
        const Py_ssize_t n = PyList_GET_SIZE(items.get());
        Ref out;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *pair = PyList_GET_ITEM(items.get(), i);
            PyObject *value = PyTuple_GET_ITEM(pair, 1);
            Ref flat(flatten(value, depth));
            if (!flat) return nullptr;
            if (!out && flat.get() != value) {
                out.reset(PyDict_New());
                if (!out) return nullptr;
                for (Py_ssize_t j = 0; j < i; ++j) {
                    PyObject *before = PyList_GET_ITEM(items.get(), j);
                    if (PyDict_SetItem(out.get(), PyTuple_GET_ITEM(before, 0), PyTuple_GET_ITEM(before, 1)) < 0)
                        return nullptr;
                }
            }
            if (out && PyDict_SetItem(out.get(), PyTuple_GET_ITEM(pair, 0), flat.get()) < 0) return nullptr;
        }
        return out ? out.release() : Py_NewRef(o);
    }

    PyObject *table_;
    PyObject *others_;
    PyObject *classify_;
    Py_ssize_t max_depth_;
    PyObject *memo_;  // null, or the containers made so far, when shared values are kept
};

PyObject *flatten(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 6 || !PyDict_Check(args[1]) || !PyDict_Check(args[2])) {
        PyErr_SetString(PyExc_TypeError, "flatten() takes (value, table, others, classify, max_depth, shared)");
        return nullptr;
    }
    const Py_ssize_t max_depth = PyLong_AsSsize_t(args[4]);
    if (max_depth == -1 && PyErr_Occurred()) return nullptr;
    const int shared = PyObject_IsTrue(args[5]);
    if (shared < 0) return nullptr;
    Ref memo;
    if (shared) {
        memo.reset(PyDict_New());
        if (!memo) return nullptr;
    }
    Flattener flattener(args[1], args[2], args[3], max_depth, memo.get());
    return flattener.flatten(args[0], 0);
}

PyObject *write_plain_value(PyObject *module, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 4 || !PyDict_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "write_plain() takes (value, table, dumps, max_depth)");
        return nullptr;
    }
    const Py_ssize_t max_depth = PyLong_AsSsize_t(args[3]);
    if (max_depth == -1 && PyErr_Occurred()) return nullptr;
    return write_plain(args[0], args[1], args[2], max_depth, state_of(module)->kit);
}

PyMethodDef module_methods[] = {
    {"write_plain", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write_plain_value)), METH_FASTCALL,
     "write_plain($module, value, table, dumps, max_depth, /)\n--\n\n"
     "Encode a value holding instances of plain classes, as ``dumps`` with its default options\n"
     "writes it with each instance replaced by the dict (or list) of its fields.\n\n"
     ":param value: the value to encode\n"
     ":param table: maps a class to ``(attribute names, wire keys, as_array, slot descriptors)``\n"
     ":param dumps: the function that writes any other value alone\n"
     ":param max_depth: the deepest nesting followed\n"
     ":return: the encoding, or None where the value needs the general path"},
    {"flatten", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(flatten)), METH_FASTCALL,
     "flatten($module, value, table, others, classify, max_depth, shared, /)\n--\n\n"
     "Replace the class instances inside lists, tuples and dicts by the dicts (or lists) of their fields.\n\n"
     ":param value: the value to flatten\n"
     ":param table: maps a class to ``(attribute names, wire keys, as_array, slot descriptors)``\n"
     ":param others: classes known to stay as they are (a dict used as a set)\n"
     ":param classify: called with a class met for the first time, to file it in ``table`` or ``others``\n"
     ":param max_depth: the deepest nesting followed (deeper raises ``RecursionError``)\n"
     ":param shared: keep shared values: a list, dict or instance met twice (or inside itself)\n"
     "    becomes one container met twice\n"
     ":return: the flattened value (``value`` itself where nothing changed)"},
    {"write_fields", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write_fields)), METH_FASTCALL,
     "write_fields($module, table, fallback, encoder, value, /)\n--\n\n"
     "Write a class instance as the map (or array) of its fields, for an encoder's ``default`` hook.\n\n"
     ":param table: maps a class to ``(attribute names, wire keys, as_array, slot descriptors)``\n"
     ":param fallback: called as ``fallback(encoder, value)`` for a value whose class is not in the table\n"
     ":param encoder: the encoder calling the hook\n"
     ":param value: the value to write"},
    {"compile", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compile)), METH_FASTCALL,
     "compile($module, plan, max_depth, hooks, /)\n--\n\n"
     "Compile a type plan for the native typed walker.\n\n"
     ":param plan: the plan, as kelvo's typed codec builds it\n"
     ":param max_depth: the deepest nesting the walker follows\n"
     ":param hooks: ``(invalid, index, build_failure, kind_of)``: the failure type of a value that\n"
     "    does not fit (with its ``steps``), the type of an array position on its path,\n"
     "    ``build_failure(cls, exc)``, which makes the failure for a class whose own code raised,\n"
     "    and ``kind_of(value)``, the kind of item a union dispatches on\n"
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
    if (import_core_exceptions(
            {{"CBORDecodeError", &st->errors.decode_error}, {"CBORDecodeEOF", &st->errors.decode_eof}}) < 0)
        return -1;
    PyObject *loads = PyObject_GetAttrString(core.get(), "loads");
    if (loads == nullptr) return -1;
    replace_field(st->loads, loads);
    PyObject *encode_name = PyUnicode_InternFromString("encode");
    if (encode_name == nullptr) return -1;
    replace_field(st->encode_name, encode_name);
    if (load_semantic_kit(st->kit) < 0) return -1;
    PyObject *program_type = PyType_FromModuleAndSpec(m, &program_spec, nullptr);
    if (program_type == nullptr) return -1;
    replace_field(st->program_type, program_type);
    if (PyModule_AddObjectRef(m, "Program", program_type) < 0) return -1;
    return 0;
}

PyModuleDef module_def = module_definition<ModuleState, module_exec>(
    "kelvo._typed",
    "Native support for kelvo's typed decoding: the typed walker, and finding the end of one "
    "encoded item.",
    module_methods);

}  // namespace

}  // namespace kelvo::typed

PyMODINIT_FUNC PyInit__typed(void) { return PyModuleDef_Init(&kelvo::typed::module_def); }
