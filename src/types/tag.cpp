// CBORTag: construction, properties, repr, hash, comparison and the decoder's helpers.
#include "types/tag.h"

#include "lib/args.h"
#include "lib/errors.h"
#include "lib/recursion.h"
#include "lib/typecell.h"
#include "types/frozendict.h"
#include "types/lifecycle.h"
#include "types/reentry.h"
#include "types/simple.h"
#include "types/siphash.h"

#include <atomic>

namespace kelvo {

namespace {

TagObject *as_tag(PyObject *self) { return reinterpret_cast<TagObject *>(self); }

// The value; a tag emptied by the garbage collector reads as None.
PyObject *value_of(TagObject *t) { return t->value != nullptr ? t->value : Py_None; }

OnceState hash_name_once{0, 0};
PyObject *hash_name_value = nullptr;

PyObject *hash_name() {
    return once_object(hash_name_once, hash_name_value, []() { return PyUnicode_InternFromString("__hash__"); });
}

// ---- Construction

const char *const kNewPositional[] = {"tag", "value"};
const ArgumentSpec kNewSpec{"__new__", "CBORTag", kNewPositional, 2, 0, 2, nullptr, 0};

PyObject *tag_new(PyTypeObject *, PyObject *args, PyObject *kwargs) {
    PyObject *slots[2];
    if (parse_arguments_tuple(kNewSpec, args, kwargs, slots) < 0) return nullptr;
    uint64_t number;
    if (convert_u64(slots[0], &number) < 0) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "CBORTag tags must be positive integers less than 2**64");
        return nullptr;
    }
    return new_cbortag(number, slots[1]);
}

// ---- Lifecycle

using Lifecycle = OwnedFieldLifecycle<TagObject, &TagObject::value>;

// ---- Properties

PyObject *get_tag(PyObject *self, void *) {
    TagObject *t = as_tag(self);
    SharedAccess access;
    if (!access.acquire(t->access, AccessSite::Entry)) return nullptr;
    return PyLong_FromUnsignedLongLong(t->tag);
}

PyObject *get_value(PyObject *self, void *) {
    TagObject *t = as_tag(self);
    SharedAccess access;
    if (!access.acquire(t->access, AccessSite::Entry)) return nullptr;
    return Py_NewRef(value_of(t));
}

PyGetSetDef tag_getset[] = {
    {"tag", get_tag, nullptr, "the tag number", nullptr},
    {"value", get_value, nullptr, "the tagged value", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- repr, hash, comparison

int raise_self_reference(const char *purpose) {
    PyErr_Format(PyExc_RuntimeError, "This CBORTag is not %s because it contains a reference to itself", purpose);
    return -1;
}

PyObject *tag_repr(PyObject *self) {
    TagObject *t = as_tag(self);
    ReentryGuard guard;
    int entered = guard.enter(GuardSet::tag_print, self);
    if (entered < 0) return nullptr;
    if (entered == 0) return PyUnicode_FromString("...");
    SharedAccess access;
    if (!access.acquire(t->access, AccessSite::Entry)) return nullptr;
    RecursionGuard depth;
    if (!depth.enter(" while getting the repr of an object")) return nullptr;
    Ref value = Ref::borrow(value_of(t));
    return PyUnicode_FromFormat("CBORTag(%llu, %R)", static_cast<unsigned long long>(t->tag), value.get());
}

// Built-in types whose `__hash__` method is their hash slot, so calling the slot is the
// same as calling the method by name.
bool hash_slot_is_method(PyObject *v) {
    return PyLong_CheckExact(v) || PyUnicode_CheckExact(v) || PyBytes_CheckExact(v) || PyFloat_CheckExact(v) ||
           PyTuple_CheckExact(v) || v == Py_None || PyBool_Check(v) || PyFrozenSet_CheckExact(v) || is_tag(v) ||
           is_simple_value(v) || is_frozendict(v);
}

// The value's `__hash__()` as a signed 64-bit number. -1 with the exception set.
int value_hash(PyObject *value, int64_t *out) {
    Ref result;
    if (hash_slot_is_method(value)) {
        Py_hash_t h = PyObject_Hash(value);
        if (h != -1) {
            *out = h;
            return 0;
        }
    } else {
        PyObject *name = hash_name();
        if (name == nullptr) return -1;
        result.reset(PyObject_CallMethodNoArgs(value, name));
        if (result) return convert_i64(result.get(), out);
    }
    PyObject *cause = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_RuntimeError, "This CBORTag is not hashable because its value is not hashable");
    chain_cause(cause);
    return -1;
}

Py_hash_t tag_hash(PyObject *self) {
    TagObject *t = as_tag(self);
    ReentryGuard guard;
    int entered = guard.enter(GuardSet::tag_check, self);
    if (entered < 0) return -1;
    if (entered == 0) return raise_self_reference("hashable");
    SharedAccess access;
    if (!access.acquire(t->access, AccessSite::Entry)) return -1;
    RecursionGuard depth;
    if (!depth.enter(" while hashing an object")) return -1;
    Ref value = Ref::borrow(value_of(t));
    int64_t inner;
    if (value_hash(value.get(), &inner) < 0) return -1;
    uint8_t message[16];
    store_le64(message, t->tag);
    store_le64(message + 8, static_cast<uint64_t>(inner));
    auto h = static_cast<Py_hash_t>(siphash13(message, sizeof message));
    return h == -1 ? -2 : h;
}

PyObject *tag_richcompare(PyObject *self, PyObject *other, int op) {
    if (self == other) {
        switch (op) {
            case Py_LE:
            case Py_EQ:
            case Py_GE:
                Py_RETURN_TRUE;
            default:
                Py_RETURN_FALSE;
        }
    }
    if (!is_tag(other)) Py_RETURN_NOTIMPLEMENTED;
    TagObject *a = as_tag(self);
    TagObject *b = as_tag(other);
    ReentryGuard guard;
    int entered = guard.enter(GuardSet::tag_check, self);
    if (entered < 0) return nullptr;
    if (entered == 0) {
        raise_self_reference("comparable");
        return nullptr;
    }
    SharedAccess access_a;
    if (!access_a.acquire(a->access, AccessSite::Entry)) return nullptr;
    SharedAccess access_b;
    if (!access_b.acquire(b->access, AccessSite::Window)) return nullptr;
    if (a->tag != b->tag) Py_RETURN_RICHCOMPARE(a->tag, b->tag, op);
    RecursionGuard depth;
    if (!depth.enter(" in comparison")) return nullptr;
    Ref va = Ref::borrow(value_of(a));
    Ref vb = Ref::borrow(value_of(b));
    Ref result(PyObject_RichCompare(va.get(), vb.get(), op));
    if (!result) return nullptr;
    int truth = PyObject_IsTrue(result.get());
    if (truth < 0) return nullptr;
    return PyBool_FromLong(truth);
}

// ---- Pickling and copying
//
// A tag pickles as an incomplete tag made from its number, completed by `__setstate__`
// with the value (in a 1-tuple). The pickler records the incomplete tag before it writes
// the value, so a value that leads back to the tag (as the decoder builds for shared
// references) is restored as the same object; copy.deepcopy follows the same protocol.
// The incomplete tag is held exclusively until its value arrives: it cannot be read,
// hashed or compared in between, and a complete tag can never be changed.

const char *const kRestorePositional[] = {"tag"};
const ArgumentSpec kRestoreSpec{"_restore", "CBORTag", kRestorePositional, 1, 1, 1, nullptr, 0};

PyObject *meth_restore(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *arg;
    if (parse_arguments(kRestoreSpec, args, nargs, kwnames, &arg) < 0) return nullptr;
    uint64_t number;
    if (convert_u64(arg, &number) < 0) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "CBORTag tags must be positive integers less than 2**64");
        return nullptr;
    }
    PyObject *self = new_cbortag(number, nullptr);
    if (self == nullptr) return nullptr;
    // Not yet shared with any other thread: plain stores suffice.
    TagObject *t = as_tag(self);
    t->access.word = -1;
    t->pending = 1;
    return self;
}

PyObject *meth_setstate(PyObject *self, PyObject *state) {
    TagObject *t = as_tag(self);
    // The value comes wrapped in a 1-tuple: the pickler and copy.deepcopy skip a state of None.
    if (!PyTuple_Check(state) || PyTuple_GET_SIZE(state) != 1) {
        PyErr_SetString(PyExc_TypeError, "CBORTag.__setstate__ expects a 1-tuple holding the value");
        return nullptr;
    }
    uint32_t expected = 1;
    if (!std::atomic_ref<uint32_t>(t->pending).compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) {
        PyErr_SetString(PyExc_TypeError,
                        "CBORTag objects are read-only; __setstate__ only completes a tag made by "
                        "CBORTag._restore while it is unpickled");
        return nullptr;
    }
    PyObject *old = t->value;
    t->value = Py_NewRef(PyTuple_GET_ITEM(state, 0));
    t->access.release_exclusive();
    Py_XDECREF(old);
    Py_RETURN_NONE;
}

PyObject *meth_reduce(PyObject *self, PyObject *) {
    TagObject *t = as_tag(self);
    Ref number;
    Ref value;
    {
        SharedAccess access;
        if (!access.acquire(t->access, AccessSite::Entry)) return nullptr;
        number.reset(PyLong_FromUnsignedLongLong(t->tag));
        value = Ref::borrow(value_of(t));
    }
    if (!number) return nullptr;
    Ref restore(PyObject_GetAttrString(reinterpret_cast<PyObject *>(Py_TYPE(self)), "_restore"));
    if (!restore) return nullptr;
    return Py_BuildValue("(O(O)(O))", restore.get(), number.get(), value.get());
}

// A tag cannot change, so a shallow copy is the tag itself.
PyObject *meth_copy(PyObject *self, PyObject *) { return Py_NewRef(self); }

#define KELVO_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f))

PyMethodDef tag_methods[] = {
    {"__reduce__", meth_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\nPickling support: the tag number now, the value through __setstate__."},
    {"__setstate__", meth_setstate, METH_O,
     "__setstate__($self, state, /)\n--\n\nGives a tag made by CBORTag._restore its value; a complete tag "
     "refuses it."},
    {"__copy__", meth_copy, METH_NOARGS, "__copy__($self, /)\n--\n\nThe tag itself: tags are immutable."},
    {"_restore", KELVO_FASTCALL(meth_restore), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "_restore($cls, tag, /)\n--\n\nAn incomplete tag for the unpickler, unusable until __setstate__ gives "
     "it its value."},
    {nullptr, nullptr, 0, nullptr},
};

#undef KELVO_FASTCALL

const char kTagDoc[] =
    "CBORTag(tag, value)\n--\n\nRepresents a CBOR semantic tag.\n\n:param tag: tag number\n"
    ":param value: encapsulated value (any object)";

PyType_Slot tag_slots[] = {
    {Py_tp_doc, const_cast<char *>(kTagDoc)},
    {Py_tp_new, reinterpret_cast<void *>(tag_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(Lifecycle::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(Lifecycle::traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(Lifecycle::clear)},
    {Py_tp_repr, reinterpret_cast<void *>(tag_repr)},
    {Py_tp_hash, reinterpret_cast<void *>(tag_hash)},
    {Py_tp_richcompare, reinterpret_cast<void *>(tag_richcompare)},
    {Py_tp_getset, tag_getset},
    {Py_tp_methods, tag_methods},
    {0, nullptr},
};

PyType_Spec tag_spec = {"kelvo.CBORTag", sizeof(TagObject), 0, kClassFlags, tag_slots};

TypeCell tag_cell{{0, 0}, &tag_spec, nullptr};

}  // namespace

PyTypeObject *tag_type() { return type_from_cell(tag_cell); }

bool is_tag(PyObject *obj) {
    // No instance can exist before the type does.
    return tag_cell.once.filled() && Py_TYPE(obj) == reinterpret_cast<PyTypeObject *>(tag_cell.value);
}

PyObject *new_cbortag(uint64_t tag, PyObject *value) {
    PyTypeObject *tp = tag_type();
    if (tp == nullptr) return nullptr;
    PyObject *self = tp->tp_alloc(tp, 0);
    if (self == nullptr) return nullptr;
    TagObject *t = as_tag(self);
    t->tag = tag;
    t->value = Py_NewRef(value != nullptr ? value : Py_None);
    return self;
}

int set_tag_value(PyObject *tag, PyObject *value) {
    TagObject *t = as_tag(tag);
    PyObject *old;
    {
        ExclusiveAccess access;
        if (!access.acquire(t->access, AccessSite::Window)) return -1;
        old = t->value;
        t->value = Py_NewRef(value != nullptr ? value : Py_None);
    }
    // Released after the window closes: the old value's finaliser may look at the tag.
    Py_XDECREF(old);
    return 0;
}

}  // namespace kelvo
