// Headers and scalars: integers (with tags 2 and 3 beyond 64 bits), byte and text strings,
// floats (shortest form when canonical), simple values, tags, and their public methods.
#include "encoder/methods.h"
#include "encoder/writer.h"

#include "lib/args.h"
#include "lib/cbor.h"
#include "lib/compat.h"
#include "lib/float_width.h"
#include "lib/recursion.h"
#include "types/simple.h"

namespace kelvo {

namespace {

EncoderObject *as_encoder(PyObject *self) { return reinterpret_cast<EncoderObject *>(self); }

// Reads the int's two's complement big-endian form into `buf` (`cap` bytes). Returns the
// size the value needs (more than `cap` when it did not fit), -1 on error.
Py_ssize_t twos_complement(PyObject *obj, uint8_t *buf, Py_ssize_t cap) {
    return PyLong_AsNativeBytes(obj, buf, cap, Py_ASNATIVEBYTES_BIG_ENDIAN);
}

// Turns a two's complement form into the magnitude a header carries: the value, or
// -value - 1 for a negative one. Returns whether it was negative.
bool to_magnitude(uint8_t *buf, Py_ssize_t n) {
    bool negative = n > 0 && (buf[0] & 0x80) != 0;
    if (negative)
        for (Py_ssize_t i = 0; i < n; ++i) buf[i] = static_cast<uint8_t>(~buf[i]);
    return negative;
}

// Minimal big-endian magnitude of an int (its value, or -value - 1 when negative) as a
// new bytes object. NULL with the exception set.
PyObject *int_magnitude(PyObject *obj, bool *negative) {
    Py_ssize_t need = twos_complement(obj, nullptr, 0);
    if (need < 0) return nullptr;
    if (need == 0) need = 1;
    auto *buf = static_cast<uint8_t *>(PyMem_Malloc(static_cast<size_t>(need)));
    if (buf == nullptr) return PyErr_NoMemory();
    Py_ssize_t got = twos_complement(obj, buf, need);
    if (got < 0) {
        PyMem_Free(buf);
        return nullptr;
    }
    *negative = to_magnitude(buf, need);
    Py_ssize_t skip = 0;
    while (skip < need && buf[skip] == 0) ++skip;
    PyObject *result = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(buf + skip), need - skip);
    PyMem_Free(buf);
    return result;
}

// An exact int as (major, argument) when it fits a header: 1 yes, 0 too large, -1 error.
inline void compact_int_header(PyObject *obj, unsigned *major, uint64_t *arg) {
    Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject *>(obj));
    *major = v >= 0 ? 0 : 1;
    *arg = v >= 0 ? static_cast<uint64_t>(v) : ~static_cast<uint64_t>(v);
}

int wide_int_header(PyObject *obj, unsigned *major, uint64_t *arg) {
    int64_t word;
    int fits = compat::long_as_int64(obj, &word);
    if (fits < 0) return -1;
    if (fits > 0) {
        *major = word >= 0 ? 0 : 1;
        *arg = word >= 0 ? static_cast<uint64_t>(word) : ~static_cast<uint64_t>(word);
        return 1;
    }
    uint8_t buf[9];
    Py_ssize_t need = twos_complement(obj, buf, sizeof buf);
    if (need < 0) return -1;
    if (need > static_cast<Py_ssize_t>(sizeof buf)) return 0;
    bool negative = to_magnitude(buf, sizeof buf);
    if (buf[0] != 0) return 0;
    uint64_t v = 0;
    for (int i = 1; i < 9; ++i) v = (v << 8) | buf[i];
    *major = negative ? 1 : 0;
    *arg = v;
    return 1;
}

#if PYLONG_BITS_IN_DIGIT == 30
// An exact int of two or three digits as (major, argument), read from its digits as laid
// out in cpython/longintrepr.h (the unstable compact-value call does the same for one
// digit): 1 when it fits a header, 0 when the general reading must decide.
inline int digits_int_header(PyObject *obj, unsigned *major, uint64_t *arg) {
    const auto *v = reinterpret_cast<const PyLongObject *>(obj);
    uintptr_t tag = v->long_value.lv_tag;
    uintptr_t ndigits = tag >> _PyLong_NON_SIZE_BITS;
    if (ndigits < 2 || ndigits > 3) return 0;
    const digit *d = v->long_value.ob_digit;
    uint64_t magnitude = d[0] | static_cast<uint64_t>(d[1]) << 30;
    if (ndigits == 3) {
        if (d[2] >> 4) return 0;
        magnitude |= static_cast<uint64_t>(d[2]) << 60;
    }
    // The sign bits: 0 positive, 1 zero, 2 negative; a value of two digits is not zero.
    bool negative = (tag & _PyLong_SIGN_MASK) == 2;
    *major = negative ? 1 : 0;
    *arg = negative ? magnitude - 1 : magnitude;
    return 1;
}
#else
inline int digits_int_header(PyObject *, unsigned *, uint64_t *) { return 0; }
#endif

inline int small_int_header(PyObject *obj, unsigned *major, uint64_t *arg) {
    if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject *>(obj))) {
        compact_int_header(obj, major, arg);
        return 1;
    }
    if (PyLong_CheckExact(obj) && digits_int_header(obj, major, arg)) return 1;
    return wide_int_header(obj, major, arg);
}

int put_small_int(EncoderObject *enc, PyObject *obj) {
    unsigned major;
    uint64_t arg;
    int r = small_int_header(obj, &major, &arg);
    if (r <= 0) return r;
    return put_header(enc, major, arg) < 0 ? -1 : 1;
}

// An int of 2**64 or more, or below -2**64: tag 2 or 3 around its magnitude, the payload
// going through the dispatch as a bytes object.
int write_big_int(Ctx &c, PyObject *obj) {
    bool negative;
    Ref magnitude(int_magnitude(obj, &negative));
    if (!magnitude) return -1;
    return write_semantic(c, negative ? cbor::tag::kNegativeBignum : cbor::tag::kPositiveBignum, magnitude.get());
}

// An int subclass is classified with its own comparisons and arithmetic.
int write_int_subclass(Ctx &c, PyObject *obj) {
    c.close();
    Ref two64(PyLong_FromString("18446744073709551616", nullptr, 10));
    if (!two64) return -1;
    int r = PyObject_RichCompareBool(obj, two64.get(), Py_GE);
    if (r < 0) return -1;
    if (r) return write_big_int(c, obj);
    Ref minus_two64(PyLong_FromString("-18446744073709551616", nullptr, 10));
    if (!minus_two64) return -1;
    r = PyObject_RichCompareBool(obj, minus_two64.get(), Py_LT);
    if (r < 0) return -1;
    if (r) return write_big_int(c, obj);
    Ref zero(PyLong_FromLong(0));
    if (!zero) return -1;
    r = PyObject_RichCompareBool(obj, zero.get(), Py_GE);
    if (r < 0) return -1;
    uint64_t arg;
    unsigned major;
    if (r) {
        major = 0;
        arg = PyLong_AsUnsignedLongLong(obj);
        if (arg == static_cast<uint64_t>(-1) && PyErr_Occurred()) return -1;
    } else {
        major = 1;
        Ref one(PyLong_FromLong(1));
        Ref sum(one ? PyNumber_Add(obj, one.get()) : nullptr);
        Ref magnitude(sum ? PyNumber_Absolute(sum.get()) : nullptr);
        if (!magnitude || convert_u64(magnitude.get(), &arg) < 0) return -1;
    }
    if (!c.open()) return -1;
    return put_header(c.enc, major, arg);
}

// Compact ASCII text is its own UTF-8; other text goes through the cached UTF-8 form.
inline const char *utf8_of(PyObject *obj, Py_ssize_t *n) {
    if (PyUnicode_IS_COMPACT_ASCII(obj)) {
        *n = PyUnicode_GET_LENGTH(obj);
        return static_cast<const char *>(PyUnicode_DATA(obj));
    }
    return PyUnicode_AsUTF8AndSize(obj, n);
}

}  // namespace

// ---- Floats

size_t float_bytes(double v, bool canonical, uint8_t *out, bool *split) {
    uint64_t bits;
    memcpy(&bits, &v, sizeof bits);
    if ((bits & 0x7ff0000000000000ull) == 0x7ff0000000000000ull) {
        // NaN of any sign or payload, and the infinities: fixed half-precision forms.
        bool nan = (bits & 0x000fffffffffffffull) != 0;
        uint16_t h = nan          ? float_width::kHalfNaN
                     : bits >> 63 ? float_width::kHalfMinusInfinity
                                  : float_width::kHalfInfinity;
        *split = false;
        out[0] = cbor::kHalf;
        out[1] = static_cast<uint8_t>(h >> 8);
        out[2] = static_cast<uint8_t>(h);
        return 3;
    }
    *split = true;
    if (canonical && float_width::double_fits_single(v)) {
        uint32_t single = float_width::single_bits(static_cast<float>(v));
        if (float_width::single_fits_half(single)) {
            uint16_t h = float_width::half_from_single(single);
            out[0] = cbor::kHalf;
            out[1] = static_cast<uint8_t>(h >> 8);
            out[2] = static_cast<uint8_t>(h);
            return 3;
        }
        single = __builtin_bswap32(single);
        out[0] = cbor::kSingle;
        memcpy(out + 1, &single, 4);
        return 5;
    }
    bits = __builtin_bswap64(bits);
    out[0] = cbor::kDouble;
    memcpy(out + 1, &bits, 8);
    return 9;
}

int put_float(EncoderObject *enc, double v) {
    if (enc->write_target != nullptr) return sink_float(EmitSink{enc}, v, enc->canonical);
    if (enc->out.reserve(9) < 0) return -1;
    bool split;
    enc->out.len += float_bytes(v, enc->canonical, enc->out.data + enc->out.len, &split);
    return 0;
}

// ---- Leaves

int try_put_leaf(EncoderObject *enc, PyObject *obj) {
    PyTypeObject *tp = Py_TYPE(obj);
    OutBuffer &out = enc->out;
    // Without a stream and with room for a short text, the common scalars are written
    // straight into the buffer, without the reserve and stream checks of each piece.
    bool direct = enc->write_target == nullptr && out.cap - out.len >= 24;
    if (tp == &PyUnicode_Type) {
        if (string_refs_active(enc)) return 0;
        Py_ssize_t n;
        const char *u = utf8_of(obj, &n);
        if (u == nullptr) return -1;
        // The most common value of all, a short text.
        if (n < 24 && direct) {
            uint8_t *p = out.data + out.len;
            p[0] = static_cast<uint8_t>(0x60 | n);
            copy_bytes(p + 1, u, static_cast<size_t>(n));
            out.len += 1 + static_cast<size_t>(n);
            return 1;
        }
        return put_owned_string(enc, cbor::kText, obj, u, static_cast<size_t>(n)) < 0 ? -1 : 1;
    }
    if (tp == &PyLong_Type) {
        if (!direct) return put_small_int(enc, obj);
        unsigned major;
        uint64_t arg;
        int r = small_int_header(obj, &major, &arg);
        if (r <= 0) return r;
        out.len += header_bytes(major, arg, out.data + out.len);
        return 1;
    }
    if (tp == &PyFloat_Type) {
        double v = PyFloat_AS_DOUBLE(obj);
        uint64_t bits;
        memcpy(&bits, &v, sizeof bits);
        // A finite value outside canonical mode is always the 9-byte form.
        if (direct && !enc->canonical && (bits & 0x7ff0000000000000ull) != 0x7ff0000000000000ull) {
            uint8_t *p = out.data + out.len;
            p[0] = cbor::kDouble;
            bits = __builtin_bswap64(bits);
            memcpy(p + 1, &bits, 8);
            out.len += 9;
            return 1;
        }
        return put_float(enc, v) < 0 ? -1 : 1;
    }
    if (tp == &PyBool_Type || obj == Py_None) {
        uint8_t b = obj == Py_True ? cbor::kTrue : obj == Py_False ? cbor::kFalse : cbor::kNull;
        if (!direct) return emit_byte(enc, b) < 0 ? -1 : 1;
        out.data[out.len++] = b;
        return 1;
    }
    if (tp == &PyBytes_Type) {
        if (string_refs_active(enc)) return 0;
        return put_owned_string(enc, cbor::kBytes, obj, PyBytes_AS_STRING(obj),
                                static_cast<size_t>(PyBytes_GET_SIZE(obj))) < 0
                   ? -1
                   : 1;
    }
    return 0;
}

int leaf_into_buffer(OutBuffer &buf, PyObject *obj, bool canonical) {
    BufferSink sink{buf};
    PyTypeObject *tp = Py_TYPE(obj);
    if (tp == &PyUnicode_Type) {
        Py_ssize_t n;
        const char *u = utf8_of(obj, &n);
        if (u == nullptr) return -1;
        return sink_string(sink, cbor::kText, u, static_cast<size_t>(n)) < 0 ? -1 : 1;
    }
    if (tp == &PyLong_Type) {
        unsigned major;
        uint64_t arg;
        int r = small_int_header(obj, &major, &arg);
        if (r < 0) return -1;
        if (r > 0) return sink_header(sink, major, arg) < 0 ? -1 : 1;
        bool negative;
        Ref magnitude(int_magnitude(obj, &negative));
        uint64_t tag = negative ? cbor::tag::kNegativeBignum : cbor::tag::kPositiveBignum;
        if (!magnitude || sink_header(sink, cbor::kTag, tag) < 0 ||
            sink_string(sink, cbor::kBytes, PyBytes_AS_STRING(magnitude.get()),
                        static_cast<size_t>(PyBytes_GET_SIZE(magnitude.get()))) < 0)
            return -1;
        return 1;
    }
    if (tp == &PyFloat_Type) return sink_float(sink, PyFloat_AS_DOUBLE(obj), canonical) < 0 ? -1 : 1;
    if (tp == &PyBool_Type) return sink.byte(obj == Py_True ? cbor::kTrue : cbor::kFalse) < 0 ? -1 : 1;
    if (obj == Py_None) return sink.byte(cbor::kNull) < 0 ? -1 : 1;
    if (tp == &PyBytes_Type)
        return sink_string(sink, cbor::kBytes, PyBytes_AS_STRING(obj), static_cast<size_t>(PyBytes_GET_SIZE(obj))) < 0
                   ? -1
                   : 1;
    return 0;
}

// ---- Writers through Ctx

int write_int(Ctx &c, PyObject *obj) {
    if (!PyLong_CheckExact(obj)) return write_int_subclass(c, obj);
    if (!c.open()) return -1;
    int r = put_small_int(c.enc, obj);
    if (r != 0) return r < 0 ? -1 : 0;
    return write_big_int(c, obj);
}

int write_bytes(Ctx &c, PyObject *obj) {
    if (!c.open()) return -1;
    const char *data = PyBytes_AS_STRING(obj);
    size_t n = static_cast<size_t>(PyBytes_GET_SIZE(obj));
    if (string_refs_active(c.enc)) {
        int r = string_reference(c, obj, false, data, n);
        if (r != 0) return r < 0 ? -1 : 0;
        if (!c.open()) return -1;
    }
    if (PyBytes_CheckExact(obj)) return put_owned_string(c.enc, cbor::kBytes, obj, data, n);
    return put_string(c.enc, cbor::kBytes, data, n);
}

int write_bytearray(Ctx &c, PyObject *obj) {
    Ref copy;
    {
        CriticalSection cs(obj);
        copy.reset(PyBytes_FromStringAndSize(PyByteArray_AS_STRING(obj), PyByteArray_GET_SIZE(obj)));
    }
    if (!copy) return -1;
    return write_bytes(c, copy.get());
}

int write_text(Ctx &c, PyObject *obj) {
    if (!c.open()) return -1;
    Py_ssize_t n;
    const char *u = utf8_of(obj, &n);
    if (u == nullptr) return -1;
    if (string_refs_active(c.enc)) {
        int r = string_reference(c, obj, true, u, static_cast<size_t>(n));
        if (r != 0) return r < 0 ? -1 : 0;
        if (!c.open()) return -1;
    }
    if (PyUnicode_CheckExact(obj)) return put_owned_string(c.enc, cbor::kText, obj, u, static_cast<size_t>(n));
    return put_string(c.enc, cbor::kText, u, static_cast<size_t>(n));
}

int encode_nested(Ctx &c, PyObject *value) {
    EncoderObject *enc = c.enc;
    if (enc->depth > 0) {
        // Inside an encode() a nested one only moves the depth, which changes nothing
        // observable while it stays above 0.
        RecursionGuard guard;
        if (!guard.enter(kRecursionWhere)) return -1;
        return dispatch(c, value);
    }
    c.close();
    return encoder_encode(enc, value);
}

int write_semantic(Ctx &c, uint64_t tag, PyObject *value) {
    if (!c.open()) return -1;
    EncoderObject *enc = c.enc;
    if (tag != 256) {
        if (put_header(enc, cbor::kTag, tag) < 0) return -1;
        return encode_nested(c, value);
    }
    // Tag 256 opens a string namespace of its own, string references on.
    bool saved_referencing = enc->string_referencing;
    NamespaceSave save;
    enc->string_referencing = true;
    namespace_push(enc, save, true);
    int rc = put_header(enc, cbor::kTag, cbor::tag::kStringNamespace);
    if (rc == 0) rc = encode_nested(c, value);
    if (!namespace_close(c, save)) return -1;
    enc->string_referencing = saved_referencing;
    return rc;
}

int encode_semantic(EncoderObject *enc, uint64_t tag, PyObject *value) {
    Ctx c(enc);
    return write_semantic(c, tag, value);
}

// ---- Public methods

namespace {

const char *const kObj[] = {"obj"};
const char *const kLengthNames[] = {"major_tag", "length"};
const char *const kSemanticNames[] = {"tag", "value"};

#define KELVO_OBJ_SPEC(name) const ArgumentSpec k_##name = {#name, "CBOREncoder", kObj, 1, 0, 1, nullptr, 0}
KELVO_OBJ_SPEC(encode_int);
KELVO_OBJ_SPEC(encode_bytes);
KELVO_OBJ_SPEC(encode_bytearray);
KELVO_OBJ_SPEC(encode_string);
KELVO_OBJ_SPEC(encode_bool);
KELVO_OBJ_SPEC(encode_simple_value);
KELVO_OBJ_SPEC(encode_float);
#undef KELVO_OBJ_SPEC
const ArgumentSpec k_encode_none{"encode_none", "CBOREncoder", nullptr, 0, 0, 0, nullptr, 0};
const ArgumentSpec k_encode_undefined{"encode_undefined", "CBOREncoder", nullptr, 0, 0, 0, nullptr, 0};
const ArgumentSpec k_encode_break{"encode_break", "CBOREncoder", nullptr, 0, 0, 0, nullptr, 0};
const ArgumentSpec k_encode_length{"encode_length", "CBOREncoder", kLengthNames, 2, 0, 2, nullptr, 0};
const ArgumentSpec k_encode_semantic{"encode_semantic", "CBOREncoder", kSemanticNames, 2, 0, 2, nullptr, 0};

int check_type(PyObject *obj, bool ok, const char *expected) {
    if (ok) return 0;
    raise_not_instance(obj, expected);
    return add_processing_note("obj");
}

int run_int(Ctx &c, PyObject *obj) {
    if (convert_arg("obj", check_int_object, obj) < 0) return -1;
    return write_int(c, obj);
}
int run_bytes(Ctx &c, PyObject *obj) {
    if (convert_arg("obj", check_bytes_object, obj) < 0) return -1;
    return write_bytes(c, obj);
}
int run_bytearray(Ctx &c, PyObject *obj) {
    if (check_type(obj, PyByteArray_Check(obj), "bytearray") < 0) return -1;
    return write_bytearray(c, obj);
}
int run_string(Ctx &c, PyObject *obj) {
    if (check_type(obj, PyUnicode_Check(obj), "str") < 0) return -1;
    return write_text(c, obj);
}
int run_bool(Ctx &c, PyObject *obj) {
    bool v;
    if (convert_arg("obj", convert_bool, obj, &v) < 0) return -1;
    if (!c.open()) return -1;
    return emit_byte(c.enc, v ? cbor::kTrue : cbor::kFalse);
}
int run_simple_value(Ctx &c, PyObject *obj) {
    if (check_type(obj, is_simple_value(obj), "CBORSimpleValue") < 0) return -1;
    if (!c.open()) return -1;
    return put_simple_value(c.enc, reinterpret_cast<SimpleValueObject *>(obj)->value);
}
int run_float(Ctx &c, PyObject *obj) {
    if (check_type(obj, PyFloat_Check(obj), "float") < 0) return -1;
    if (!c.open()) return -1;
    return put_float(c.enc, PyFloat_AS_DOUBLE(obj));
}

template <const ArgumentSpec &Spec, int (*Run)(Ctx &, PyObject *)>
PyObject *obj_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *obj;
    if (parse_arguments(Spec, args, nargs, kwnames, &obj) < 0) return nullptr;
    Ctx c(as_encoder(self));
    if (Run(c, obj) < 0) return nullptr;
    Py_RETURN_NONE;
}

template <const ArgumentSpec &Spec, uint8_t Byte>
PyObject *byte_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (parse_arguments(Spec, args, nargs, kwnames, nullptr) < 0) return nullptr;
    Ctx c(as_encoder(self));
    if (!c.open() || emit_byte(c.enc, Byte) < 0) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace

int put_simple_value(EncoderObject *enc, uint8_t v) {
    if (v <= 23) return emit_byte(enc, static_cast<uint8_t>(0xe0 | v));
    const uint8_t two[2] = {0xf8, v};
    return emit_bytes(enc, two, 2);
}

#define KELVO_OBJ_METHOD(name, run)                                                     \
    PyObject *meth_##name(PyObject *s, PyObject *const *a, Py_ssize_t n, PyObject *k) { \
        return obj_method<k_##name, run>(s, a, n, k);                                   \
    }
KELVO_OBJ_METHOD(encode_int, run_int)
KELVO_OBJ_METHOD(encode_bytes, run_bytes)
KELVO_OBJ_METHOD(encode_bytearray, run_bytearray)
KELVO_OBJ_METHOD(encode_string, run_string)
KELVO_OBJ_METHOD(encode_bool, run_bool)
KELVO_OBJ_METHOD(encode_simple_value, run_simple_value)
KELVO_OBJ_METHOD(encode_float, run_float)
#undef KELVO_OBJ_METHOD

#define KELVO_BYTE_METHOD(name, byte)                                                   \
    PyObject *meth_##name(PyObject *s, PyObject *const *a, Py_ssize_t n, PyObject *k) { \
        return byte_method<k_##name, byte>(s, a, n, k);                                 \
    }
KELVO_BYTE_METHOD(encode_none, cbor::kNull)
KELVO_BYTE_METHOD(encode_undefined, cbor::kUndefined)
KELVO_BYTE_METHOD(encode_break, cbor::kBreak)
#undef KELVO_BYTE_METHOD

PyObject *meth_encode_length(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *slots[2];
    if (parse_arguments(k_encode_length, args, nargs, kwnames, slots) < 0) return nullptr;
    EncoderObject *enc = as_encoder(self);
    EncoderWindow w;
    if (!w.open(enc, AccessSite::Entry)) return nullptr;
    uint8_t major;
    if (convert_arg("major_tag", convert_u8, slots[0], &major) < 0) return nullptr;
    int rc;
    if (slots[1] == Py_None) {
        rc = emit_byte(enc, static_cast<uint8_t>((major << 5) | cbor::kIndefinite));
    } else {
        uint64_t length;
        if (convert_arg("length", convert_u64, slots[1], &length) < 0) return nullptr;
        rc = put_header(enc, major, length);
    }
    if (rc < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject *meth_encode_semantic(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *slots[2];
    if (parse_arguments(k_encode_semantic, args, nargs, kwnames, slots) < 0) return nullptr;
    uint64_t tag;
    if (convert_arg("tag", convert_u64, slots[0], &tag) < 0) return nullptr;
    if (encode_semantic(as_encoder(self), tag, slots[1]) < 0) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace kelvo
