// Regular expressions (tag 35), MIME messages (tag 36) and UUIDs (tag 37), both directions.
#include "tags/registry.h"

#include "encoder/writer.h"
#include "lib/cbor.h"
#include "lib/stdlib.h"

#include <cstring>

namespace kelvo {

namespace {

using stdlib::Name;

// What the UUID codec needs to build and read the standard uuid.UUID without running its
// Python code: the class, its two slot descriptors and the is_safe value its constructor
// stores by default. `native` is false when uuid.UUID is not the standard class (rebound
// before first use, or a layout this code does not know); then only the class's own
// protocol is used.
struct UuidLayout {
    PyObject *type;
    PyObject *int_slot;
    PyObject *safe_slot;
    PyObject *safe_default;
    bool native;
};

OnceState g_uuid_once;
UuidLayout g_uuid;

// A name from a type's own dictionary (borrowed through `held`), or nullptr.
PyObject *own_attr(PyObject *dict, const char *name, Ref &held) {
    PyObject *v = nullptr;
    if (PyDict_GetItemStringRef(dict, name, &v) < 0) PyErr_Clear();
    held.reset(v);
    return v;
}

bool is_text(PyObject *obj, const char *text) {
    return obj != nullptr && PyUnicode_Check(obj) && PyUnicode_CompareWithASCIIString(obj, text) == 0;
}

// Whether `type` is the standard uuid.UUID: slots int and is_safe (and __weakref__) of its
// own, object's allocation, and the constructor of the uuid module. Fills `out`.
bool inspect_uuid_class(PyObject *type, UuidLayout &out) {
    if (!PyType_Check(type)) return false;
    auto *tp = reinterpret_cast<PyTypeObject *>(type);
    if (tp->tp_new != PyBaseObject_Type.tp_new) return false;
    Ref dict(PyType_GetDict(tp));
    if (!dict) {
        PyErr_Clear();
        return false;
    }
    Ref module, slots, int_slot, safe_slot, init, init_module, kwdefaults;
    if (!is_text(own_attr(dict.get(), "__module__", module), "uuid")) return false;
    PyObject *s = own_attr(dict.get(), "__slots__", slots);
    if (s == nullptr || !PyTuple_Check(s) || PyTuple_GET_SIZE(s) != 3 || !is_text(PyTuple_GET_ITEM(s, 0), "int") ||
        !is_text(PyTuple_GET_ITEM(s, 1), "is_safe") || !is_text(PyTuple_GET_ITEM(s, 2), "__weakref__"))
        return false;
    PyObject *i = own_attr(dict.get(), "int", int_slot);
    PyObject *safe = own_attr(dict.get(), "is_safe", safe_slot);
    if (i == nullptr || safe == nullptr || !Py_IS_TYPE(i, &PyMemberDescr_Type) ||
        !Py_IS_TYPE(safe, &PyMemberDescr_Type))
        return false;
    PyObject *f = own_attr(dict.get(), "__init__", init);
    if (f == nullptr || !PyFunction_Check(f)) return false;
    // A function's attributes can be reassigned by other threads: read them as new references.
    init_module.reset(PyObject_GetAttrString(f, "__module__"));
    Ref kw(PyObject_GetAttrString(f, "__kwdefaults__"));
    if (!init_module || !kw) PyErr_Clear();
    if (!is_text(init_module.get(), "uuid") || !kw || !PyDict_Check(kw.get())) return false;
    PyObject *safe_default = own_attr(kw.get(), "is_safe", kwdefaults);
    if (safe_default == nullptr) return false;
    out.int_slot = int_slot.release();
    out.safe_slot = safe_slot.release();
    out.safe_default = kwdefaults.release();
    return true;
}

// The layout, resolved on first use (importing uuid); nullptr with the exception set.
const UuidLayout *uuid_layout() {
    if (g_uuid_once.filled()) return &g_uuid;
    // Resolved before the claim, so that no thread waits for one cell while holding another.
    PyObject *type = stdlib::get(stdlib::uuid_UUID);
    if (type == nullptr) return nullptr;
    OnceClaim claim(g_uuid_once);
    if (claim.failed()) return nullptr;
    if (claim.done()) return &g_uuid;
    UuidLayout l{type, nullptr, nullptr, nullptr, false};
    l.native = inspect_uuid_class(type, l);
    g_uuid = l;
    claim.succeed();
    return &g_uuid;
}

// The 16 bytes of a standard UUID read from its int slot: 1 read, 0 when the slot holds
// something other than a plain int of 0 to 2**128 - 1 (left to the class's own `bytes`),
// -1 with the exception set.
int read_uuid_bytes(const UuidLayout &l, PyObject *obj, uint8_t *out) {
    Ref value(Py_TYPE(l.int_slot)->tp_descr_get(l.int_slot, obj, l.type));
    if (!value) {
        // An instance whose slot was never set: `bytes` reports it in its own words.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (!PyLong_CheckExact(value.get())) return 0;
    Py_ssize_t n = PyLong_AsNativeBytes(
        value.get(), out, 16,
        Py_ASNATIVEBYTES_BIG_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER | Py_ASNATIVEBYTES_REJECT_NEGATIVE);
    if (n < 0) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return -1;
        PyErr_Clear();
        return 0;
    }
    return n <= 16 ? 1 : 0;
}

// Tag 37 around 16 bytes. Inside an encode with no `encoders` and no string references the
// payload would be written by the dispatch exactly so, with nothing flushed in between;
// elsewhere it goes through the dispatch as a bytes object.
int write_uuid(EncoderObject *enc, const uint8_t *raw) {
    Ctx c(enc);
    if (!c.open()) return -1;
    if (enc->depth > 0 && enc->encoders == nullptr && !string_refs_active(enc)) {
        if (put_header(enc, cbor::kTag, cbor::tag::kUuid) < 0) return -1;
        return put_string(enc, cbor::kBytes, raw, 16);
    }
    c.close();
    Ref payload(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(raw), 16));
    if (!payload) return -1;
    return write_semantic(c, cbor::tag::kUuid, payload.get());
}

[[gnu::noinline]] int encode_uuid_general(EncoderObject *enc, PyObject *obj) {
    PyObject *attr = stdlib::name(Name::bytes);
    if (attr == nullptr) return -1;
    Ref payload(PyObject_GetAttr(obj, attr));
    if (!payload) return -1;
    return encode_semantic(enc, cbor::tag::kUuid, payload.get());
}

[[gnu::noinline]] PyObject *decode_uuid_general(PyObject *type, PyObject *payload) {
    PyObject *key = stdlib::name(Name::bytes);
    if (key == nullptr) return nullptr;
    Ref kwargs(PyDict_New());
    if (!kwargs || PyDict_SetItem(kwargs.get(), key, payload) < 0) return nullptr;
    Ref args(PyTuple_New(0));
    if (!args) return nullptr;
    return PyObject_Call(type, args.get(), kwargs.get());
}

// What uuid.UUID(bytes=payload) builds: a new instance whose int slot holds the bytes read
// big-endian and whose is_safe slot holds the constructor's default.
PyObject *build_uuid(const UuidLayout &l, const uint8_t *raw) {
    Ref value(PyLong_FromUnsignedNativeBytes(raw, 16, Py_ASNATIVEBYTES_BIG_ENDIAN));
    if (!value) return nullptr;
    Ref args(PyTuple_New(0));
    if (!args) return nullptr;
    auto *tp = reinterpret_cast<PyTypeObject *>(l.type);
    Ref obj(tp->tp_new(tp, args.get(), nullptr));
    if (!obj) return nullptr;
    if (Py_TYPE(l.int_slot)->tp_descr_set(l.int_slot, obj.get(), value.get()) < 0) return nullptr;
    if (Py_TYPE(l.safe_slot)->tp_descr_set(l.safe_slot, obj.get(), l.safe_default) < 0) return nullptr;
    return obj.release();
}

}  // namespace

int encode_regexp(EncoderObject *enc, PyObject *obj) {
    PyObject *attr = stdlib::name(Name::pattern);
    if (attr == nullptr) return -1;
    Ref source(PyObject_GetAttr(obj, attr));
    if (!source) return -1;
    return encode_semantic(enc, cbor::tag::kRegexp, source.get());
}

int encode_mime(EncoderObject *enc, PyObject *obj) {
    PyObject *method = stdlib::name(Name::as_string);
    if (method == nullptr) return -1;
    Ref text(PyObject_CallMethodNoArgs(obj, method));
    if (!text) return -1;
    return encode_semantic(enc, cbor::tag::kMime, text.get());
}

int encode_uuid(EncoderObject *enc, PyObject *obj) {
    // Only a class named UUID can be the standard one; other objects do not import uuid.
    if (strcmp(Py_TYPE(obj)->tp_name, "UUID") == 0) {
        const UuidLayout *l = uuid_layout();
        if (l == nullptr) return -1;
        if (l->native && Py_TYPE(obj) == reinterpret_cast<PyTypeObject *>(l->type)) {
            uint8_t raw[16];
            int r = read_uuid_bytes(*l, obj, raw);
            if (r < 0) return -1;
            if (r > 0) return write_uuid(enc, raw);
        }
    }
    return encode_uuid_general(enc, obj);
}

PyObject *decode_regexp(PyObject *payload, bool) {
    PyObject *compile = stdlib::get(stdlib::re_compile);
    if (compile == nullptr) return nullptr;
    return PyObject_CallOneArg(compile, payload);
}

PyObject *decode_mime(PyObject *payload, bool) {
    PyObject *parser_type = stdlib::get(stdlib::email_Parser);
    PyObject *method = stdlib::name(Name::parsestr);
    if (parser_type == nullptr || method == nullptr) return nullptr;
    Ref parser(PyObject_CallNoArgs(parser_type));
    if (!parser) return nullptr;
    return PyObject_CallMethodOneArg(parser.get(), method, payload);
}

PyObject *decode_uuid(PyObject *payload, bool) {
    const UuidLayout *l = uuid_layout();
    if (l == nullptr) return nullptr;
    if (l->native && PyBytes_CheckExact(payload) && PyBytes_GET_SIZE(payload) == 16)
        return build_uuid(*l, reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(payload)));
    return decode_uuid_general(l->type, payload);
}

}  // namespace kelvo
