// What every native module of kelvo declares alike: multi-phase initialisation that runs
// without the GIL, and a state struct of owned references that the collector visits and clears.
//
// A module's state lists its references once, in `for_each_ref`:
//
//     struct ModuleState {
//         PyObject *decode_error;
//         PyTypeObject *cid_type;
//         template <class F> void for_each_ref(F &&f) { f(decode_error); f(cid_type); }
//     };
//     PyModuleDef module_def = module_definition<ModuleState, module_exec>("kelvo._x", doc, methods);
#pragma once

#include <Python.h>

namespace kelvo {

template <class State>
State *module_state(PyObject *m) {
    return static_cast<State *>(PyModule_GetState(m));
}

template <class State>
int traverse_module_state(PyObject *m, visitproc visit, void *arg) {
    State *st = module_state<State>(m);
    if (st == nullptr) return 0;
    int rc = 0;
    st->for_each_ref([&](auto *&ref) {
        if (rc == 0 && ref != nullptr) rc = visit(reinterpret_cast<PyObject *>(ref), arg);
    });
    return rc;
}

template <class State>
int clear_module_state(PyObject *m) {
    State *st = module_state<State>(m);
    if (st == nullptr) return 0;
    st->for_each_ref([](auto *&ref) {
        PyObject *old = reinterpret_cast<PyObject *>(ref);
        ref = nullptr;
        Py_XDECREF(old);
    });
    return 0;
}

template <class State>
void free_module_state(void *m) {
    clear_module_state<State>(static_cast<PyObject *>(m));
}

template <int (*Exec)(PyObject *)>
inline PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(Exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

// The definition of a module with state (multi-phase, no GIL needed).
template <class State, int (*Exec)(PyObject *)>
constexpr PyModuleDef module_definition(const char *name, const char *doc, PyMethodDef *methods) {
    return {PyModuleDef_HEAD_INIT,
            name,
            doc,
            sizeof(State),
            methods,
            module_slots<Exec>,
            traverse_module_state<State>,
            clear_module_state<State>,
            free_module_state<State>};
}

// The definition of a module without state.
template <int (*Exec)(PyObject *)>
constexpr PyModuleDef module_definition(const char *name, const char *doc, PyMethodDef *methods) {
    return {PyModuleDef_HEAD_INIT, name, doc, 0, methods, module_slots<Exec>, nullptr, nullptr, nullptr};
}

}  // namespace kelvo
