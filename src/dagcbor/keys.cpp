// The per-thread key table: made on a thread's first decode, released with its thread state.
#include "dagcbor/keys.h"

#include "lib/utf8.h"

#include <atomic>
#include <new>

namespace kelvo::dag {

namespace {

// The table last found by each thread, for the thread state it was found in: the lookup in the
// thread-state dictionary is then skipped. Any table's release moves the generation on, so
// that no thread uses a remembered table that may be gone (a thread state can be freed and
// another made at the same address).
struct LastTable {
    PyThreadState *tstate = nullptr;
    KeyTable *table = nullptr;
    uint64_t generation = 0;
};
thread_local LastTable t_last;
std::atomic<uint64_t> g_generation{1};

void release_table(PyObject *capsule) {
    auto *table = static_cast<KeyTable *>(PyCapsule_GetPointer(capsule, nullptr));
    if (table == nullptr) {
        PyErr_Clear();
        return;
    }
    g_generation.fetch_add(1, std::memory_order_acq_rel);
    table->clear();
    table->~KeyTable();
    PyMem_RawFree(table);
}

}  // namespace

PyObject *make_text(const uint8_t *p, size_t n) { return decode_utf8_text(p, n, nullptr); }

PyObject *KeyTable::replace(Slot &s, const uint8_t *p, size_t n, bool hashed) {
    if (!is_ascii(p, n)) return make_text(p, n);
    PyObject *text = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
    if (text == nullptr) return nullptr;
    memcpy(PyUnicode_1BYTE_DATA(text), p, n);
    if (hashed && PyObject_Hash(text) == -1) {
        Py_DECREF(text);
        return nullptr;
    }
    PyObject *old = s.text;
    s.text = Py_NewRef(text);
    s.length = n;
    memcpy(s.bytes, p, n);
    Py_XDECREF(old);
    return text;
}

void KeyTable::clear() noexcept {
    for (Slot &s : keys_) Py_CLEAR(s.text);
    for (Slot &s : values_) Py_CLEAR(s.text);
}

KeyTable *thread_key_table(PyObject *name, Ref *holder) {
    // A thread's table is released only when its thread state is cleared, which never happens
    // while that thread is running a decode.
    PyThreadState *tstate = PyThreadState_GetUnchecked();
    const uint64_t generation = g_generation.load(std::memory_order_acquire);
    if (tstate != nullptr && t_last.tstate == tstate && t_last.generation == generation) return t_last.table;
    KeyTable *table = find_key_table(name, holder);
    if (table != nullptr) t_last = LastTable{tstate, table, generation};
    return table;
}

KeyTable *find_key_table(PyObject *name, Ref *holder) {
    PyObject *dict = PyThreadState_GetDict();  // borrowed; the thread's own
    if (dict == nullptr) return nullptr;
    PyObject *found = nullptr;
    int r = PyDict_GetItemRef(dict, name, &found);
    if (r < 0) {
        PyErr_Clear();
        return nullptr;
    }
    if (r == 0) {
        void *memory = PyMem_RawCalloc(1, sizeof(KeyTable));
        if (memory == nullptr) return nullptr;
        auto *table = new (memory) KeyTable();
        found = PyCapsule_New(table, nullptr, release_table);
        if (found == nullptr) {
            PyErr_Clear();
            table->~KeyTable();
            PyMem_RawFree(memory);
            return nullptr;
        }
        if (PyDict_SetItem(dict, name, found) < 0) {
            PyErr_Clear();
            Py_DECREF(found);  // the capsule's destructor frees the table
            return nullptr;
        }
    }
    holder->reset(found);
    // The capsule has no name (a name costs a string compare on every decode): it is known
    // as this table by its destructor.
    if (!PyCapsule_CheckExact(found) || PyCapsule_GetDestructor(found) != release_table) {
        PyErr_Clear();
        return nullptr;
    }
    return static_cast<KeyTable *>(PyCapsule_GetPointer(found, nullptr));
}

}  // namespace kelvo::dag
