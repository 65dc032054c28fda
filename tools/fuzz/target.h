// Shared part of the fuzz targets: embeds the free-threaded interpreter in the fuzzer
// process, with _kelvo linked in as a built-in module, and hands each input to a function
// of the Python helper module kelvo_fuzz. An exception escaping that function is a finding:
// it is printed and the process aborts, so that libFuzzer keeps the input.
//
// Leak check: for a sample of inputs (those whose hash is 0 modulo KELVO_FUZZ_LEAK_EVERY,
// default 16; 1 checks every input, 0 none) that ran in under 5 ms, the input runs again,
// repeatedly, and the process aborts when the interpreter's allocated blocks
// (sys.getallocatedblocks, after a collection) or the malloc heap keep growing with the
// number of runs (see check_leaks).
#pragma once

#include <Python.h>

#include <sanitizer/allocator_interface.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

extern "C" PyObject *PyInit__kelvo(void);
extern "C" PyObject *PyInit__edn(void);
extern "C" PyObject *PyInit__typed(void);
extern "C" PyObject *PyInit__scan(void);  // kelvo._scan, which the kelvo package imports

namespace kelvo_fuzz {

inline PyObject *g_entry = nullptr;
inline PyObject *g_settle = nullptr;
inline unsigned g_leak_every = 16;

[[noreturn]] inline void die(const char *what) {
    if (PyErr_Occurred()) PyErr_Print();
    fprintf(stderr, "kelvo fuzz target: %s\n", what);
    fflush(stderr);
    abort();
}

inline void start(const char *entry, const char *module = "kelvo_fuzz") {
    if (PyImport_AppendInittab("_kelvo", PyInit__kelvo) < 0) die("cannot register _kelvo");
    // kelvo._edn is linked in too: the decode target reads diag's output back with it.
    if (PyImport_AppendInittab("kelvo._edn", PyInit__edn) < 0) die("cannot register kelvo._edn");
    // The kelvo package imports its typed codec, whose native half is linked in too.
    if (PyImport_AppendInittab("kelvo._typed", PyInit__typed) < 0) die("cannot register kelvo._typed");
    if (PyImport_AppendInittab("kelvo._scan", PyInit__scan) < 0) die("cannot register kelvo._scan");
    PyConfig config;
    PyConfig_InitIsolatedConfig(&config);
    config.install_signal_handlers = 0;  // libFuzzer owns the signals
    config.use_hash_seed = 1;            // the same input behaves the same in every run
    config.hash_seed = 0;
    config.site_import = 0;
    PyStatus st = PyConfig_SetBytesString(&config, &config.home, KELVO_PY_HOME);
    if (!PyStatus_Exception(st)) st = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(st)) Py_ExitStatusException(st);

    PyObject *path = PySys_GetObject("path");  // borrowed
    const char *dirs[] = {KELVO_FUZZ_DIR, KELVO_PACKAGE_DIR};
    for (const char *d : dirs) {
        PyObject *s = PyUnicode_FromString(d);
        if (s == nullptr || PyList_Insert(path, 0, s) < 0) die("cannot extend sys.path");
        Py_DECREF(s);
    }
    PyObject *mod = PyImport_ImportModule(module);
    if (mod == nullptr) die("cannot import the fuzz helper module");
    g_entry = PyObject_GetAttrString(mod, entry);
    g_settle = PyObject_GetAttrString(mod, "settle");
    Py_DECREF(mod);
    if (g_entry == nullptr || g_settle == nullptr) die("kelvo_fuzz lacks an entry point");
    if (const char *e = getenv("KELVO_FUZZ_LEAK_EVERY")) g_leak_every = static_cast<unsigned>(atoi(e));
}

inline void run_once(PyObject *arg) {
    PyObject *r = PyObject_CallOneArg(g_entry, arg);
    if (r == nullptr) die("the input raised an unexpected exception (above)");
    Py_DECREF(r);
}

struct Usage {
    long blocks;
    size_t heap;
};

inline Usage usage() {
    PyObject *r = PyObject_CallNoArgs(g_settle);
    if (r == nullptr) die("settle() failed");
    long blocks = PyLong_AsLong(r);
    Py_DECREF(r);
    return {blocks, __sanitizer_get_current_allocated_bytes()};
}

// A leak shows as at least one more interpreter block, or one more malloc byte, for every
// run, in each of four rounds. The interpreter's own warm-up for a new input (up to about a
// thousand blocks over its first few hundred runs) levels off within them; the last rounds
// only run when the ones before grew that fast.
inline void check_leaks(PyObject *arg) {
    Usage before = usage();
    for (int rounds : {4, 256, 1024, 1024}) {
        for (int i = 0; i < rounds; ++i) run_once(arg);
        Usage after = usage();
        long blocks = after.blocks - before.blocks;
        long heap = static_cast<long>(after.heap) - static_cast<long>(before.heap);
        if (getenv("KELVO_FUZZ_LEAK_TRACE"))
            fprintf(stderr, "leak check: %d runs, blocks %+ld, malloc bytes %+ld\n", rounds, blocks, heap);
        if (blocks < rounds && heap < rounds) return;
        before = after;
    }
    fprintf(stderr,
            "kelvo fuzz target: memory grew by at least one block or byte per run over four "
            "rounds of repeated runs of the same input: a leak\n");
    die("leak");
}

inline int test_one(const uint8_t *data, size_t size) {
    PyObject *arg = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(data), static_cast<Py_ssize_t>(size));
    if (arg == nullptr) die("cannot make the input bytes");
    auto t0 = std::chrono::steady_clock::now();
    run_once(arg);
    // Inputs that take long are not repeated: the check must stay far below the timeout.
    bool quick = std::chrono::steady_clock::now() - t0 < std::chrono::milliseconds(5);
    if (g_leak_every != 0 && quick) {
        uint32_t h = 2166136261u;
        for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 16777619u;
        if (h % g_leak_every == 0) check_leaks(arg);
    }
    Py_DECREF(arg);
    return 0;
}

}  // namespace kelvo_fuzz
