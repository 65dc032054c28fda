// frozendict: a read-only mapping over a private dict, with a cached hash.
#include "types/frozendict.h"

#include "lib/args.h"
#include "lib/errors.h"
#include "lib/recursion.h"
#include "lib/stdlib.h"
#include "lib/typecell.h"
#include "module/module.h"
#include "types/lifecycle.h"
#include "types/reentry.h"
#include "types/siphash.h"

#include <atomic>

namespace kelvo {

namespace {

constexpr Py_hash_t kNoHash = -1;

FrozenDictObject *as_fd(PyObject *self) { return reinterpret_cast<FrozenDictObject *>(self); }

// The items dict (borrowed). A frozendict emptied by the garbage collector reads as an
// empty mapping; `holder` then owns the stand-in. NULL only when that cannot be made.
PyObject *items_of(FrozenDictObject *fd, Ref &holder) {
    if (fd->dict != nullptr) return fd->dict;
    holder.reset(PyDict_New());
    return holder.get();
}

// Runs `body(items)` under shared access to the frozendict, for the read operations.
template <typename R, typename Body>
R with_items(PyObject *self, R failure, Body &&body) {
    FrozenDictObject *fd = as_fd(self);
    SharedAccess access;
    if (!access.acquire(fd->access, AccessSite::Entry)) return failure;
    Ref holder;
    PyObject *items = items_of(fd, holder);
    if (items == nullptr) return failure;
    return body(items);
}

// Wraps a dict (stolen reference; NULL passes the caller's failure through).
PyObject *wrap_dict(PyObject *dict) {
    if (dict == nullptr) return nullptr;
    Ref owned(dict);
    PyTypeObject *tp = frozendict_type();
    if (tp == nullptr) return nullptr;
    PyObject *self = tp->tp_alloc(tp, 0);
    if (self == nullptr) return nullptr;
    FrozenDictObject *fd = as_fd(self);
    fd->hash = kNoHash;
    fd->dict = owned.release();
    return self;
}

// ---- Construction and lifecycle

PyObject *fd_new(PyTypeObject *, PyObject *args, PyObject *kwargs) {
    return wrap_dict(PyObject_Call(reinterpret_cast<PyObject *>(&PyDict_Type), args, kwargs));
}

using Lifecycle = OwnedFieldLifecycle<FrozenDictObject, &FrozenDictObject::dict>;

// ---- Mapping protocol

Py_ssize_t fd_length(PyObject *self) {
    return with_items(self, Py_ssize_t{-1}, [](PyObject *items) { return PyDict_Size(items); });
}

int fd_contains(PyObject *self, PyObject *key) {
    return with_items(self, -1, [key](PyObject *items) { return PyDict_Contains(items, key); });
}

PyObject *fd_iter(PyObject *self) {
    return with_items(self, static_cast<PyObject *>(nullptr), [](PyObject *items) { return PyObject_GetIter(items); });
}

PyObject *fd_subscript(PyObject *self, PyObject *key) {
    return with_items(self, static_cast<PyObject *>(nullptr),
                      [key](PyObject *items) { return PyObject_GetItem(items, key); });
}

PyObject *fd_repr(PyObject *self) {
    return with_items(self, static_cast<PyObject *>(nullptr), [](PyObject *items) -> PyObject * {
        RecursionGuard depth;
        if (!depth.enter(" while getting the repr of an object")) return nullptr;
        return PyUnicode_FromFormat("frozendict(%R)", items);
    });
}

// ---- Methods

const char *const kGetPositional[] = {"key", "default"};
const ArgumentSpec kGetSpec{"get", "frozendict", kGetPositional, 2, 1, 1, nullptr, 0};

PyObject *meth_get(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *slots[2];
    if (parse_arguments(kGetSpec, args, nargs, kwnames, slots) < 0) return nullptr;
    return with_items(self, static_cast<PyObject *>(nullptr), [&slots](PyObject *items) -> PyObject * {
        PyObject *found;
        int rc = PyDict_GetItemRef(items, slots[0], &found);
        if (rc < 0) return nullptr;
        if (rc > 0) return found;
        return Py_NewRef(slots[1] != nullptr ? slots[1] : Py_None);
    });
}

template <const char *Name>
PyObject *forward_noargs(PyObject *self, PyObject *) {
    return with_items(self, static_cast<PyObject *>(nullptr),
                      [](PyObject *items) { return PyObject_CallMethod(items, Name, nullptr); });
}

constexpr char kKeys[] = "keys";
constexpr char kItems[] = "items";
constexpr char kValues[] = "values";

const char *const kClassGetitemPositional[] = {"key"};
const ArgumentSpec kClassGetitemSpec{"__class_getitem__", "frozendict", kClassGetitemPositional, 1, 1, 1, nullptr, 0};

PyObject *meth_class_getitem(PyObject *cls, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *key;
    if (parse_arguments(kClassGetitemSpec, args, nargs, kwnames, &key) < 0) return nullptr;
    if (!PyTuple_Check(key) || PyTuple_GET_SIZE(key) != 2) {
        PyErr_SetString(PyExc_TypeError, "frozendict[...] expects exactly 2 type arguments");
        return nullptr;
    }
    return Py_GenericAlias(cls, key);
}

// ---- Pickling and copying

// Pickles as the class called with a copy of the items: the private dict never leaves.
PyObject *meth_reduce(PyObject *self, PyObject *) {
    Ref copy(with_items(self, static_cast<PyObject *>(nullptr), [](PyObject *items) { return PyDict_Copy(items); }));
    if (!copy) return nullptr;
    return Py_BuildValue("(O(O))", reinterpret_cast<PyObject *>(Py_TYPE(self)), copy.get());
}

// Immutable: a shallow copy is the frozendict itself.
PyObject *meth_copy(PyObject *self, PyObject *) { return Py_NewRef(self); }

// Copies keys and values first, then looks in the memo again: when a value leads back to
// this frozendict (through a tag or a list), the copy made along that path is the one
// every other reference in the copied structure already points to.
PyObject *meth_deepcopy(PyObject *self, PyObject *memo) {
    PyObject *deepcopy = stdlib::get(stdlib::copy_deepcopy);
    if (deepcopy == nullptr) return nullptr;
    Ref pairs(with_items(self, static_cast<PyObject *>(nullptr), [](PyObject *items) { return PyDict_Items(items); }));
    if (!pairs) return nullptr;
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.get()); ++i) {
        PyObject *pair = PyList_GET_ITEM(pairs.get(), i);
        Ref key(PyObject_CallFunctionObjArgs(deepcopy, PyTuple_GET_ITEM(pair, 0), memo, nullptr));
        if (!key) return nullptr;
        Ref value(PyObject_CallFunctionObjArgs(deepcopy, PyTuple_GET_ITEM(pair, 1), memo, nullptr));
        if (!value) return nullptr;
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
    }
    Ref id(PyLong_FromVoidPtr(self));
    if (!id) return nullptr;
    PyObject *earlier = nullptr;
    int found = PyMapping_GetOptionalItem(memo, id.get(), &earlier);
    if (found < 0) return nullptr;
    if (found > 0) return earlier;
    return wrap_dict(dict.release());
}

#define KELVO_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f))

PyMethodDef fd_methods[] = {
    {"__reduce__", meth_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\nPickling support: the class and a dict copy of the items."},
    {"__copy__", meth_copy, METH_NOARGS, "__copy__($self, /)\n--\n\nThe frozendict itself: it is immutable."},
    {"__deepcopy__", meth_deepcopy, METH_O,
     "__deepcopy__($self, memo, /)\n--\n\nA frozendict of deep copies of the keys and values."},
    {"keys", forward_noargs<kKeys>, METH_NOARGS, "keys($self, /)\n--\n\nA view of the keys."},
    {"items", forward_noargs<kItems>, METH_NOARGS, "items($self, /)\n--\n\nA view of the (key, value) pairs."},
    {"values", forward_noargs<kValues>, METH_NOARGS, "values($self, /)\n--\n\nA view of the values."},
    {"get", KELVO_FASTCALL(meth_get), METH_FASTCALL | METH_KEYWORDS,
     "get($self, key, /, default=None)\n--\n\nThe value for key if key is present, else default."},
    {"__class_getitem__", KELVO_FASTCALL(meth_class_getitem), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "__class_getitem__($cls, key, /)\n--\n\nfrozendict[K, V]: a generic alias with key and value types."},
    {nullptr, nullptr, 0, nullptr},
};

#undef KELVO_FASTCALL

// ---- hash and comparison

// The hash of the set of (key, value) pairs, mixed through SipHash-1-3.
Py_hash_t compute_hash(PyObject *items) {
    Ref pairs(PyDict_Items(items));
    if (!pairs) return -1;
    Ref set(PyFrozenSet_New(pairs.get()));
    if (!set) return -1;
    Py_hash_t inner = PyObject_Hash(set.get());
    if (inner == -1) return -1;
    uint8_t message[8];
    store_le64(message, static_cast<uint64_t>(inner));
    auto h = static_cast<Py_hash_t>(siphash13(message, sizeof message));
    // -1 reports an error to the interpreter; the returned hash is -2 either way.
    return h == -1 ? -2 : h;
}

Py_hash_t fd_hash(PyObject *self) {
    FrozenDictObject *fd = as_fd(self);
    std::atomic_ref<Py_hash_t> cache(fd->hash);
    Py_hash_t cached = cache.load(std::memory_order_acquire);
    if (cached != kNoHash) return cached;
    // Any number of threads may compute the hash at once; only a re-entry from this
    // thread's own computation (an item whose hash needs this frozendict's) is refused.
    ReentryGuard guard;
    int entered = guard.enter(GuardSet::frozendict_hash, self);
    if (entered < 0) return -1;
    if (entered == 0) {
        raise_access_error(true, AccessSite::Entry);
        return -1;
    }
    SharedAccess access;
    if (!access.acquire(fd->access, AccessSite::Entry)) return -1;
    Ref holder;
    PyObject *items = items_of(fd, holder);
    if (items == nullptr) return -1;
    RecursionGuard depth;
    if (!depth.enter(" while hashing an object")) return -1;
    Py_hash_t h = compute_hash(items);
    if (h == -1) return -1;
    cache.store(h, std::memory_order_release);
    return h;
}

PyObject *fd_richcompare(PyObject *self, PyObject *other, int op) {
    if (op == Py_NE) {
        int eq = PyObject_RichCompareBool(self, other, Py_EQ);
        if (eq < 0) return nullptr;
        return PyBool_FromLong(!eq);
    }
    if (op != Py_EQ) Py_RETURN_NOTIMPLEMENTED;
    return with_items(self, static_cast<PyObject *>(nullptr), [other](PyObject *items) -> PyObject * {
        RecursionGuard depth;
        if (!depth.enter(" in comparison")) return nullptr;
        // Against another frozendict the interpreter would end up comparing the two
        // dicts through the reflected operation; compare them directly.
        PyObject *rhs = other;
        if (is_frozendict(other) && as_fd(other)->dict != nullptr) rhs = as_fd(other)->dict;
        Ref result(PyObject_RichCompare(items, rhs, Py_EQ));
        if (!result) return nullptr;
        int truth = PyObject_IsTrue(result.get());
        if (truth < 0) return nullptr;
        return PyBool_FromLong(truth);
    });
}

const char kFrozenDictDoc[] =
    "frozendict(*args, **kwargs)\n--\n\n"
    "A hashable, immutable mapping type.\n\n"
    "The arguments to ``frozendict`` are processed exactly the same as the arguments to ``dict``.";

PyType_Slot fd_slots[] = {
    {Py_tp_doc, const_cast<char *>(kFrozenDictDoc)},
    {Py_tp_new, reinterpret_cast<void *>(fd_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(Lifecycle::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(Lifecycle::traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(Lifecycle::clear)},
    {Py_sq_contains, reinterpret_cast<void *>(fd_contains)},
    {Py_tp_iter, reinterpret_cast<void *>(fd_iter)},
    {Py_mp_length, reinterpret_cast<void *>(fd_length)},
    {Py_mp_subscript, reinterpret_cast<void *>(fd_subscript)},
    {Py_tp_repr, reinterpret_cast<void *>(fd_repr)},
    {Py_tp_hash, reinterpret_cast<void *>(fd_hash)},
    {Py_tp_richcompare, reinterpret_cast<void *>(fd_richcompare)},
    {Py_tp_methods, fd_methods},
    {0, nullptr},
};

PyType_Spec fd_spec = {"kelvo.frozendict", sizeof(FrozenDictObject), 0, kClassFlags, fd_slots};

TypeCell fd_cell{{0, 0}, &fd_spec, nullptr};

}  // namespace

PyTypeObject *frozendict_type() { return type_from_cell(fd_cell); }

bool is_frozendict(PyObject *obj) {
    return fd_cell.once.filled() && Py_TYPE(obj) == reinterpret_cast<PyTypeObject *>(fd_cell.value);
}

PyObject *frozendict_from_pairs(PyObject *const *keys_values, Py_ssize_t n) {
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyDict_SetItem(dict.get(), keys_values[2 * i], keys_values[2 * i + 1]) < 0) return nullptr;
    return wrap_dict(dict.release());
}

PyObject *frozendict_from_dict(PyObject *dict) { return wrap_dict(dict); }

int register_frozendict_mapping() {
    PyTypeObject *tp = frozendict_type();
    if (tp == nullptr) return -1;
    PyObject *mapping = stdlib::get(stdlib::abc_mapping);
    if (mapping == nullptr) return -1;
    Ref r(PyObject_CallMethod(mapping, "register", "O", reinterpret_cast<PyObject *>(tp)));
    return r ? 0 : -1;
}

}  // namespace kelvo
