// Program: a compiled type plan that the native walker follows through the encoded bytes.
#pragma once

#include "typed/semantic.h"
#include "typed/skipper.h"

namespace kelvo::typed {

// What the module keeps for programs: the error types, and `_kelvo.loads` for the items a
// program hands to the general decoder.
struct ModuleState {
    ErrorTypes errors;
    PyObject *loads;
    PyObject *program_type;
    PyObject *encode_name;  // "encode", for the class writer's call
    SemanticKit kit;

    template <class F>
    void for_each_ref(F &&f) {
        f(errors.decode_error);
        f(errors.decode_eof);
        f(loads);
        f(program_type);
        f(encode_name);
        kit.for_each_ref(f);
    }
};

// Compiles a plan (an object of kelvo._typedcodec._Plan, read through its `shape` and
// `convert` attributes) into a new Program object; `hooks` are the typed codec's failure
// types (see ProgramObject). New reference or NULL.
PyObject *compile_program(ModuleState *st, PyObject *plan, Py_ssize_t max_depth, PyObject *hooks);

// The Program type's spec, made into a heap type at module execution.
extern PyType_Spec program_spec;

}  // namespace kelvo::typed
