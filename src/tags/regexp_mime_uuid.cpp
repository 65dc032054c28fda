// Regular expressions (tag 35), MIME messages (tag 36) and UUIDs (tag 37), both directions.
#include "tags/registry.h"

#include "encoder/writer.h"
#include "lib/cbor.h"
#include "lib/stdlib.h"
#include "lib/uuid_layout.h"

#include <cstring>

namespace kelvo {

namespace {

using stdlib::Name;

// The standard uuid.UUID's layout, resolved on first use. `native` is false when uuid.UUID
// is not the standard class (rebound before first use, or a layout this code does not know);
// then only the class's own protocol is used.
struct UuidCodec {
    uuid_layout::UuidLayout layout;
    bool native;
};

OnceState g_uuid_once;
UuidCodec g_uuid;

// The codec, resolved on first use (importing uuid); nullptr with the exception set.
const UuidCodec *uuid_codec() {
    if (g_uuid_once.filled()) return &g_uuid;
    // Resolved before the claim, so that no thread waits for one cell while holding another.
    PyObject *type = stdlib::get(stdlib::uuid_UUID);
    if (type == nullptr) return nullptr;
    OnceClaim claim(g_uuid_once);
    if (claim.failed()) return nullptr;
    if (claim.done()) return &g_uuid;
    UuidCodec u{{type, nullptr, nullptr, nullptr}, false};
    u.native = uuid_layout::inspect(type, u.layout);
    g_uuid = u;
    claim.succeed();
    return &g_uuid;
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
        const UuidCodec *u = uuid_codec();
        if (u == nullptr) return -1;
        if (u->native && Py_TYPE(obj) == reinterpret_cast<PyTypeObject *>(u->layout.type)) {
            uint8_t raw[16];
            int r = uuid_layout::read_bytes(u->layout, obj, raw);
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
    const UuidCodec *u = uuid_codec();
    if (u == nullptr) return nullptr;
    if (u->native && PyBytes_CheckExact(payload) && PyBytes_GET_SIZE(payload) == 16)
        return uuid_layout::build(u->layout, reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(payload)));
    return decode_uuid_general(u->layout.type, payload);
}

}  // namespace kelvo
