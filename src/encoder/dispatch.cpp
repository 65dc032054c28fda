// encode_value: the single dispatch through which every value passes.
#include "encoder/methods.h"
#include "encoder/semantic.h"
#include "encoder/writer.h"

#include "lib/args.h"
#include "types/exceptions.h"
#include "types/frozendict.h"
#include "types/simple.h"
#include "types/stdlib.h"
#include "types/tag.h"

namespace kelvo {

namespace {

// How much output the encoder has produced: what went to the stream and what is pending.
// Window or shared access held.
uint64_t output_position(const EncoderObject *enc) { return enc->flushed + enc->out.len; }

// Calls an `encoders` entry or the `default` hook with no access held; `before` is the
// output position read before it. A hook writes the value through the encoder; one that
// returns having written nothing (a hook that returns its encoding instead) would leave a
// hole in the output, so that is refused. 0, or -1 with the exception set.
int call_write_hook(Ctx &c, PyObject *hook, PyObject *obj, uint64_t before) {
    EncoderObject *enc = c.enc;
    PyObject *args[] = {reinterpret_cast<PyObject *>(enc), obj};
    Ref result(PyObject_Vectorcall(hook, args, 2, nullptr));
    if (!result) return -1;
    uint64_t after;
    {
        SharedAccess access;
        if (!access.acquire(enc->access, AccessSite::Window)) return -1;
        after = output_position(enc);
    }
    if (after != before) return 0;
    Ref type_str(PyObject_Str(reinterpret_cast<PyObject *>(Py_TYPE(obj))));
    if (!type_str) return -1;
    return raise_exc_format(Exc::CBOREncodeValueError,
                            "the hook for type %U returned without writing anything: hooks must write the value "
                            "with the encoder's methods (for example encoder.encode(str(value))); what they "
                            "return is ignored",
                            type_str.get());
}

// The `encoders` step: 1 when an entry handled the value, 0 when there is none for its
// type, -1 on error. The lookup runs under shared access, the entry with none held.
[[gnu::noinline]] int run_encoders_entry(Ctx &c, PyObject *obj) {
    EncoderObject *enc = c.enc;
    c.close();
    PyObject *found = nullptr;
    uint64_t before;
    {
        SharedAccess access;
        if (!access.acquire(enc->access, AccessSite::Window)) return -1;
        before = output_position(enc);
        PyObject *encoders = enc->encoders;
        PyObject *key = reinterpret_cast<PyObject *>(Py_TYPE(obj));
        if (PyDict_CheckExact(encoders)) {
            if (PyDict_GetItemRef(encoders, key, &found) < 0) return -1;
        } else {
            found = PyObject_GetItem(encoders, key);
            if (found == nullptr) {
                if (!PyErr_ExceptionMatches(PyExc_LookupError)) return -1;
                PyErr_Clear();
            }
        }
    }
    if (found == nullptr) return 0;
    Ref entry(found);
    return call_write_hook(c, entry.get(), obj, before) < 0 ? -1 : 1;
}

int tag_path_push(EncoderObject *enc, PyObject *tag) {
    if (enc->tag_len == enc->tag_cap) {
        uint32_t cap = enc->tag_cap < 8 ? 8 : enc->tag_cap * 2;
        auto *p = static_cast<PyObject **>(PyMem_Realloc(enc->tag_path, cap * sizeof(PyObject *)));
        if (p == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        enc->tag_path = p;
        enc->tag_cap = cap;
    }
    enc->tag_path[enc->tag_len++] = tag;
    return 0;
}

// A CBORTag: its number and value under shared access to the tag. A tag met again inside
// its own content with no container in between can only recur forever (no container is
// there to carry a shared reference), so it is a cycle whatever `value_sharing` says.
int write_tag_object(Ctx &c, PyObject *obj) {
    auto *t = reinterpret_cast<TagObject *>(obj);
    SharedAccess tag_access;
    if (!tag_access.acquire(t->access, AccessSite::Window)) return -1;
    if (!c.open()) return -1;
    EncoderObject *enc = c.enc;
    for (uint32_t i = enc->tag_base; i < enc->tag_len; ++i)
        if (enc->tag_path[i] == obj) return raise_cycle_error();
    uint32_t mark = enc->tag_len;
    if (tag_path_push(enc, obj) < 0) return -1;
    int rc = write_semantic(c, t->tag, t->value);
    if (!c.reopen_for_cleanup()) return -1;
    if (enc->tag_len > mark) enc->tag_len = mark;
    return rc;
}

// The abstract-class memo. isinstance against Mapping and Sequence runs ABCMeta's Python
// code on every call, which costs far more than writing a date or a decimal. For an
// immutable type (and for the standard-library classes of the encoder table) the answer
// depends only on the type and on the classes registered with abstract classes, and every
// registration changes the ABC cache token (the abc module keys its own caches to it), so
// a negative answer is kept per encoder for as long as the token stays the same.

// The standard-library classes of the encoder table are written in Python but, like the
// immutable types, answer only through registrations.
bool is_stdlib_row_type(PyTypeObject *tp) {
    for (int i = 0; i < stdlib::kEncoderRows; ++i)
        if (stdlib::encoder_row_type(static_cast<stdlib::EncoderRow>(i)) == reinterpret_cast<PyObject *>(tp))
            return true;
    return false;
}

// The current token: true with *token, false when it cannot be had as a number (the memo
// is then left unused and the checks run as they would without it). Calls into the abc
// module: no access held.
bool read_abc_token(uint64_t *token) {
    PyObject *fn = stdlib::get(stdlib::abc_get_cache_token);
    Ref value(fn != nullptr ? PyObject_CallNoArgs(fn) : nullptr);
    unsigned long long v = value && PyLong_Check(value.get()) ? PyLong_AsUnsignedLongLong(value.get()) : 0;
    if (!value || !PyLong_Check(value.get()) || PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    *token = v;
    return true;
}

// 1 when the type of obj is known to be neither a mapping nor a sequence, 0 when it must
// be checked (*token then holds the token to remember the answer under, and *usable
// whether it can be), -1 on error. No access held on entry or exit.
int plain_memo_find(Ctx &c, PyObject *obj, uint64_t *token, bool *usable) {
    *usable = false;
    PyTypeObject *tp = Py_TYPE(obj);
    if (!PyType_HasFeature(tp, Py_TPFLAGS_IMMUTABLETYPE) && !is_stdlib_row_type(tp)) return 0;
    if (!read_abc_token(token)) return 0;
    *usable = true;
    if (!c.open()) return -1;
    EncoderObject *enc = c.enc;
    PyObject *stale[4];
    int n_stale = 0;
    int found = 0;
    if (enc->plain_token != *token) {
        n_stale = plain_types_take(enc, stale);
        enc->plain_token = *token;
    } else {
        for (int i = 0; i < enc->plain_len; ++i)
            if (enc->plain_types[i] == reinterpret_cast<PyObject *>(tp)) found = 1;
    }
    c.close();
    for (int i = 0; i < n_stale; ++i) Py_DECREF(stale[i]);
    return found;
}

int plain_memo_add(Ctx &c, PyObject *obj, uint64_t token) {
    if (!c.open()) return -1;
    EncoderObject *enc = c.enc;
    if (enc->plain_token == token && enc->plain_len < 4)
        enc->plain_types[enc->plain_len++] = Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(obj)));
    c.close();
    return 0;
}

int raise_unsupported(PyObject *obj) {
    Ref type_str(PyObject_Str(reinterpret_cast<PyObject *>(Py_TYPE(obj))));
    if (!type_str) return -1;
    return raise_exc_format(Exc::CBOREncodeError, "cannot encode type %U", type_str.get());
}

// Steps 3 to 20 for everything the exact-type checks did not take. Kept out of line so
// that the recursive path through dispatch() stays small on the stack.
[[gnu::noinline]] int dispatch_general(Ctx &c, PyObject *obj) {
    EncoderObject *enc = c.enc;
    if (PyBytes_Check(obj)) return write_bytes(c, obj);
    if (PyUnicode_Check(obj)) return write_text(c, obj);
    if (PyBool_Check(obj)) return emit_byte(enc, obj == Py_True ? 0xf5 : 0xf4);
    if (PyLong_Check(obj)) return write_int(c, obj);
    if (PyFloat_Check(obj)) return put_float(enc, PyFloat_AS_DOUBLE(obj));
    if (PyComplex_Check(obj)) {
        c.close();
        return encode_complex(enc, obj);
    }
    if (PyByteArray_Check(obj)) return write_bytearray(c, obj);
    if (obj == Py_None) return emit_byte(enc, 0xf6);
    if (is_undefined(obj)) return emit_byte(enc, 0xf7);
    // A frozendict is registered as a Mapping for good, so the isinstance check below
    // would only confirm it.
    if (is_frozendict(obj)) return encode_map_step(c, obj);
    // isinstance against the abstract classes may run Python code.
    c.close();
    uint64_t token;
    bool memo_usable;
    int r = plain_memo_find(c, obj, &token, &memo_usable);
    if (r < 0) return -1;
    if (r == 0) {
        r = is_mapping(obj);
        if (r != 0) return r < 0 ? -1 : encode_map_step(c, obj);
        r = PyList_Check(obj) || PyTuple_Check(obj) ? 1 : is_sequence(obj);
        if (r != 0) return r < 0 ? -1 : encode_array_step(c, obj);
        if (memo_usable && plain_memo_add(c, obj, token) < 0) return -1;
    }
    if (PyAnySet_Check(obj)) return encode_set_step(c, obj);
    if (is_simple_value(obj)) {
        if (!c.open()) return -1;
        return put_simple_value(enc, reinterpret_cast<SimpleValueObject *>(obj)->value);
    }
    if (is_tag(obj)) return write_tag_object(c, obj);
    PyObject *const *rows = stdlib::encoder_table();
    if (rows == nullptr) return -1;
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(obj));
    for (int i = 0; i < stdlib::kEncoderRows; ++i)
        if (rows[i] == type) return kStdlibEncoders[i](enc, obj);
    if (!c.open()) return -1;
    Ref hook = Ref::borrow(enc->default_hook);
    uint64_t before = output_position(enc);
    c.close();
    if (!hook) return raise_unsupported(obj);
    return call_write_hook(c, hook.get(), obj, before);
}

}  // namespace

int raise_cycle_error() { return raise_exc(Exc::CBOREncodeValueError, "cyclic data structure detected"); }

int plain_types_take(EncoderObject *enc, PyObject **out) {
    int n = enc->plain_len;
    for (int i = 0; i < n; ++i) out[i] = enc->plain_types[i];
    enc->plain_len = 0;
    return n;
}

void tag_path_free(EncoderObject *enc) {
    PyMem_Free(enc->tag_path);
    enc->tag_path = nullptr;
    enc->tag_len = enc->tag_cap = enc->tag_base = 0;
}

int dispatch(Ctx &c, PyObject *obj) {
    if (!c.open()) return -1;
    EncoderObject *enc = c.enc;
    if (enc->encoders != nullptr) {
        int r = run_encoders_entry(c, obj);
        if (r != 0) return r < 0 ? -1 : 0;
        if (!c.open()) return -1;
    }
    // The exact built-in types first: each of them is decided by its own step.
    PyTypeObject *tp = Py_TYPE(obj);
    if (tp == &PyList_Type || tp == &PyTuple_Type) return encode_array_step(c, obj);
    if (tp == &PyDict_Type) return encode_map_step(c, obj);
    int r = try_put_leaf(enc, obj);
    if (r != 0) return r < 0 ? -1 : 0;
    return dispatch_general(c, obj);
}

int encode_value(EncoderObject *enc, PyObject *obj) {
    Ctx c(enc);
    return dispatch(c, obj);
}

namespace {
const char *const kObj[] = {"obj"};
const ArgumentSpec kEncodeValueSpec{"encode_value", "CBOREncoder", kObj, 1, 0, 1, nullptr, 0};
}  // namespace

PyObject *meth_encode_value(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *obj;
    if (parse_arguments(kEncodeValueSpec, args, nargs, kwnames, &obj) < 0) return nullptr;
    if (encode_value(reinterpret_cast<EncoderObject *>(self), obj) < 0) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace kelvo
