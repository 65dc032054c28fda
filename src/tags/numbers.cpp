// Numbers in both directions: bignums (tags 2 and 3), decimal fractions and bigfloats
// (tags 4 and 5) as Decimal, rationals (tag 30) as Fraction, complex numbers (tag 43000).
#include "tags/numbers.h"

#include "encoder/methods.h"
#include "encoder/writer.h"
#include "lib/args.h"
#include "lib/compat.h"
#include "lib/errors.h"
#include "types/exceptions.h"
#include "types/stdlib.h"

#include <cmath>
#include <cstring>

namespace kelvo {

namespace {

stdlib::NameCell g_is_nan{{0, 0}, "is_nan", nullptr};
stdlib::NameCell g_is_infinite{{0, 0}, "is_infinite", nullptr};
stdlib::NameCell g_is_signed{{0, 0}, "is_signed", nullptr};
stdlib::NameCell g_numerator{{0, 0}, "numerator", nullptr};
stdlib::NameCell g_denominator{{0, 0}, "denominator", nullptr};
stdlib::NameCell g_bit_length{{0, 0}, "bit_length", nullptr};

constexpr uint8_t kHalfNaN[] = {0xf9, 0x7e, 0x00};
constexpr uint8_t kHalfInfinity[] = {0xf9, 0x7c, 0x00};
constexpr uint8_t kHalfMinusInfinity[] = {0xf9, 0xfc, 0x00};

// Whether `type` is the decimal module's own C type, whose methods and text form are fixed.
bool is_native_decimal(PyObject *type) {
    if (type == nullptr || !PyType_Check(type)) return false;
    auto *tp = reinterpret_cast<PyTypeObject *>(type);
    return PyType_HasFeature(tp, Py_TPFLAGS_IMMUTABLETYPE) && strcmp(tp->tp_name, "decimal.Decimal") == 0;
}

// ---- Writing

int emit_fixed(EncoderObject *enc, const uint8_t *bytes) {
    Ctx c(enc);
    if (!c.open()) return -1;
    return emit_bytes(enc, bytes, 3);
}

// The int of a run of decimal digits, of any length. int(str) refuses long texts (the
// interpreter's conversion limit), so a long run is split in halves joined as
// high * 10**len(low) + low, each short piece converted on its own.
PyObject *digits_to_int(const char *p, size_t n) {
    constexpr size_t kPiece = 600;  // below every limit the interpreter lets one set
    if (n <= kPiece) {
        char buf[kPiece + 1];
        memcpy(buf, p, n);
        buf[n] = '\0';
        return PyLong_FromString(buf, nullptr, 10);
    }
    size_t low = n / 2;
    Ref high_part(digits_to_int(p, n - low));
    Ref low_part(high_part ? digits_to_int(p + n - low, low) : nullptr);
    Ref ten(low_part ? PyLong_FromLong(10) : nullptr);
    Ref count(ten ? PyLong_FromSize_t(low) : nullptr);
    Ref scale(count ? PyNumber_Power(ten.get(), count.get(), Py_None) : nullptr);
    Ref shifted(scale ? PyNumber_Multiply(high_part.get(), scale.get()) : nullptr);
    return shifted ? PyNumber_Add(shifted.get(), low_part.get()) : nullptr;
}

int raise_bad_decimal_text(PyObject *text) {
    PyErr_Format(PyExc_ValueError, "cannot read '%U' as a decimal number", text);
    return -1;
}

// Reads the str() of a finite decimal as (exponent, mantissa): the mantissa is every digit
// with the sign, the exponent the written one less the digits after the point. New
// references in *exponent and *mantissa, or -1 with ValueError.
int read_decimal_text(PyObject *text, Ref *exponent, Ref *mantissa) {
    if (!PyUnicode_Check(text)) return raise_not_instance(text, "str");
    Py_ssize_t len;
    const char *s = PyUnicode_AsUTF8AndSize(text, &len);
    if (s == nullptr) return -1;
    const char *p = s, *end = s + len;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    const char *int_start = p;
    while (p < end && *p >= '0' && *p <= '9') ++p;
    const char *int_end = p;
    const char *frac_start = p, *frac_end = p;
    if (p < end && *p == '.') {
        frac_start = ++p;
        while (p < end && *p >= '0' && *p <= '9') ++p;
        frac_end = p;
    }
    size_t int_digits = static_cast<size_t>(int_end - int_start);
    size_t frac_digits = static_cast<size_t>(frac_end - frac_start);
    if (int_digits + frac_digits == 0) return raise_bad_decimal_text(text);
    int64_t written = 0;
    bool overflow = false;
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        bool exp_negative = false;
        if (p < end && (*p == '+' || *p == '-')) exp_negative = *p++ == '-';
        if (p == end) return raise_bad_decimal_text(text);
        while (p < end && *p >= '0' && *p <= '9') {
            int d = *p++ - '0';
            if (__builtin_mul_overflow(written, 10, &written) ||
                __builtin_add_overflow(written, exp_negative ? -d : d, &written))
                overflow = true;
        }
    }
    if (p != end) return raise_bad_decimal_text(text);
    int64_t exp;
    if (overflow || __builtin_sub_overflow(written, static_cast<int64_t>(frac_digits), &exp)) {
        PyErr_Format(PyExc_ValueError, "Exponent overflow when parsing '%U'", text);
        return -1;
    }
    Ref value;
    if (int_digits + frac_digits <= 18) {
        long long v = 0;
        for (const char *q = int_start; q < int_end; ++q) v = v * 10 + (*q - '0');
        for (const char *q = frac_start; q < frac_end; ++q) v = v * 10 + (*q - '0');
        value = Ref(PyLong_FromLongLong(negative ? -v : v));
    } else {
        size_t n = int_digits + frac_digits;
        auto *digits = static_cast<char *>(PyMem_Malloc(n));
        if (digits == nullptr) return PyErr_NoMemory(), -1;
        memcpy(digits, int_start, int_digits);
        memcpy(digits + int_digits, frac_start, frac_digits);
        value = Ref(digits_to_int(digits, n));
        PyMem_Free(digits);
        if (value && negative) value = Ref(PyNumber_Negative(value.get()));
    }
    if (!value) return -1;
    Ref e(PyLong_FromLongLong(exp));
    if (!e) return -1;
    *exponent = std::move(e);
    *mantissa = std::move(value);
    return 0;
}

// Tag 4 around [exponent, mantissa] read from the decimal's text.
int write_decimal_fraction(EncoderObject *enc, PyObject *text) {
    Ref exponent, mantissa;
    if (read_decimal_text(text, &exponent, &mantissa) < 0) return -1;
    Ref pair(PyTuple_Pack(2, exponent.get(), mantissa.get()));
    if (!pair) return -1;
    Ctx c(enc);
    return write_semantic(c, 4, pair.get());
}

// The decimal module's own Decimal: its text tells NaN and the infinities apart, so one
// str() call does the work of the four method calls.
int encode_native_decimal(EncoderObject *enc, PyObject *obj) {
    Ref text(PyObject_Str(obj));
    if (!text) return -1;
    Py_ssize_t len;
    const char *s = PyUnicode_AsUTF8AndSize(text.get(), &len);
    if (s == nullptr) return -1;
    bool negative = len > 0 && s[0] == '-';
    const char *body = s + (negative ? 1 : 0);
    if (strncmp(body, "NaN", 3) == 0 || strncmp(body, "sNaN", 4) == 0) return emit_fixed(enc, kHalfNaN);
    if (strcmp(body, "Infinity") == 0) return emit_fixed(enc, negative ? kHalfMinusInfinity : kHalfInfinity);
    return write_decimal_fraction(enc, text.get());
}

int call_truth(PyObject *obj, stdlib::NameCell &method) {
    PyObject *name = stdlib::get(method);
    if (name == nullptr) return -1;
    Ref r(PyObject_CallMethodNoArgs(obj, name));
    return r ? PyObject_IsTrue(r.get()) : -1;
}

// Any object that behaves like a Decimal.
[[gnu::noinline]] int encode_decimal_general(EncoderObject *enc, PyObject *obj) {
    int r = call_truth(obj, g_is_nan);
    if (r != 0) return r < 0 ? -1 : emit_fixed(enc, kHalfNaN);
    r = call_truth(obj, g_is_infinite);
    if (r < 0) return -1;
    if (r > 0) {
        r = call_truth(obj, g_is_signed);
        if (r < 0) return -1;
        return emit_fixed(enc, r > 0 ? kHalfMinusInfinity : kHalfInfinity);
    }
    Ref text(PyObject_Str(obj));
    if (!text) return -1;
    return write_decimal_fraction(enc, text.get());
}

// ---- Reading

int raise_type_message(const char *format, PyObject *obj) {
    Ref type_str(PyObject_Str(reinterpret_cast<PyObject *>(Py_TYPE(obj))));
    if (!type_str) return -1;
    return raise_exc_format(Exc::CBORDecodeError, format, type_str.get());
}

// The payload of tags 4, 5, 30 and 43000: a two-item array.
int check_pair(PyObject *payload) {
    if (!PyTuple_Check(payload)) {
        PyErr_SetString(PyExc_TypeError, "input value must be an array");
        return -1;
    }
    if (PyTuple_GET_SIZE(payload) != 2) {
        PyErr_Format(PyExc_ValueError, "expected an array with exactly %d elements", 2);
        return -1;
    }
    return 0;
}

int check_exact_int(PyObject *item, const char *role) {
    if (PyLong_CheckExact(item)) return 0;
    Ref type_str(PyObject_Str(reinterpret_cast<PyObject *>(Py_TYPE(item))));
    if (!type_str) return -1;
    return raise_exc_format(Exc::CBORDecodeError, "%s must be an integer, not %U", role, type_str.get());
}

// Decimal(int) and Fraction's gcd take time quadratic in the number of digits, so an int
// from the input is held to the interpreter's limit on int/str conversions
// (sys.get_int_max_str_digits(), 0 for none) before it reaches them. The digit count is
// judged from the bit length, which costs no more than reading the value.
int check_digit_limit(PyObject *value, const char *role) {
    if (!PyLong_Check(value)) return 0;
    // No limit can be set below 640 digits, which any int of up to 265 bytes stays within.
    Py_ssize_t size = PyLong_AsNativeBytes(value, nullptr, 0, Py_ASNATIVEBYTES_BIG_ENDIAN);
    if (size < 0) return -1;
    if (size <= 265) return 0;
    PyObject *name = stdlib::get(g_bit_length);
    PyObject *get_limit = name != nullptr ? stdlib::get(stdlib::sys_get_int_max_str_digits) : nullptr;
    if (get_limit == nullptr) return -1;
    Ref bits_obj(PyObject_CallMethodNoArgs(value, name));
    Ref limit_obj(bits_obj ? PyObject_CallNoArgs(get_limit) : nullptr);
    if (!limit_obj) return -1;
    Py_ssize_t bits = PyLong_AsSsize_t(bits_obj.get());
    long limit = PyLong_AsLong(limit_obj.get());
    if ((bits == -1 || limit == -1) && PyErr_Occurred()) return -1;
    // The fewest decimal digits a number of that many bits can have.
    auto digits = static_cast<long long>(std::floor(static_cast<double>(bits - 1) * 0.30102999566398120)) + 1;
    if (limit <= 0 || digits <= limit) return 0;
    return raise_exc_format(Exc::CBORDecodeError,
                            "%s has about %lld decimal digits, more than the limit of %ld for integer string "
                            "conversion (see sys.set_int_max_str_digits())",
                            role, digits, limit);
}

PyObject *bignum(PyObject *payload, bool negative) {
    if (!PyBytes_Check(payload)) {
        raise_type_message("bignum value must be a byte string, not %U", payload);
        return nullptr;
    }
    Ref n;
    if (PyBytes_CheckExact(payload)) {
        Py_ssize_t size = PyBytes_GET_SIZE(payload);
        n = Ref(size == 0 ? PyLong_FromLong(0)
                          : PyLong_FromUnsignedNativeBytes(PyBytes_AS_STRING(payload), static_cast<size_t>(size),
                                                           Py_ASNATIVEBYTES_BIG_ENDIAN |
                                                               Py_ASNATIVEBYTES_UNSIGNED_BUFFER));
    } else {
        PyObject *from_bytes = stdlib::get(stdlib::int_from_bytes);
        PyObject *big = from_bytes != nullptr ? stdlib::name(stdlib::Name::big) : nullptr;
        if (big == nullptr) return nullptr;
        PyObject *args[] = {payload, big};
        n = Ref(PyObject_Vectorcall(from_bytes, args, 2, nullptr));
    }
    if (!n || !negative) return n.release();
    Ref minus_one(PyLong_FromLong(-1));
    Ref negated(minus_one ? PyNumber_Negative(n.get()) : nullptr);
    return negated ? PyNumber_Add(negated.get(), minus_one.get()) : nullptr;
}

// Writes v in decimal at out (up to 20 bytes); returns the length.
size_t put_int(char *out, int64_t v) {
    char digits[20];
    uint64_t u = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u != 0);
    size_t len = 0;
    if (v < 0) out[len++] = '-';
    while (n > 0) out[len++] = digits[--n];
    return len;
}

// Decimal((sign, digits, exponent)) with sign and digits from Decimal(mantissa).as_tuple().
[[gnu::noinline]] PyObject *decimal_from_tuple(PyObject *decimal, PyObject *exponent, PyObject *mantissa) {
    PyObject *as_tuple = stdlib::name(stdlib::Name::as_tuple);
    if (as_tuple == nullptr) return nullptr;
    Ref m(PyObject_CallOneArg(decimal, mantissa));
    if (!m) return nullptr;
    Ref parts(PyObject_CallMethodNoArgs(m.get(), as_tuple));
    if (!parts) return nullptr;
    if (!PyTuple_Check(parts.get())) {
        raise_not_instance(parts.get(), "tuple");
        return nullptr;
    }
    if (PyTuple_GET_SIZE(parts.get()) < 2) {
        PyErr_SetString(PyExc_ValueError, "as_tuple() gave fewer than 2 items");
        return nullptr;
    }
    Ref triple(PyTuple_Pack(3, PyTuple_GET_ITEM(parts.get(), 0), PyTuple_GET_ITEM(parts.get(), 1), exponent));
    if (!triple) return nullptr;
    return PyObject_CallOneArg(decimal, triple.get());
}

}  // namespace

int encode_decimal(EncoderObject *enc, PyObject *obj) {
    PyObject *row = stdlib::encoder_row_type(stdlib::EncoderRow::decimal);
    if (row != nullptr && Py_IS_TYPE(obj, reinterpret_cast<PyTypeObject *>(row)) && is_native_decimal(row))
        return encode_native_decimal(enc, obj);
    return encode_decimal_general(enc, obj);
}

int encode_rational(EncoderObject *enc, PyObject *obj) {
    PyObject *num_name = stdlib::get(g_numerator);
    PyObject *den_name = num_name != nullptr ? stdlib::get(g_denominator) : nullptr;
    if (den_name == nullptr) return -1;
    Ref numerator(PyObject_GetAttr(obj, num_name));
    if (!numerator) return -1;
    Ref denominator(PyObject_GetAttr(obj, den_name));
    if (!denominator) return -1;
    Ref pair(PyTuple_Pack(2, numerator.get(), denominator.get()));
    if (!pair) return -1;
    // The pair is made here and shared with nothing, so it is written without the
    // shareable marker.
    Ctx c(enc);
    if (!c.open()) return -1;
    bool saved_sharing = enc->value_sharing;
    enc->value_sharing = false;
    int rc = write_semantic(c, 30, pair.get());
    if (!c.reopen_for_cleanup()) return -1;
    enc->value_sharing = saved_sharing;
    return rc;
}

int encode_complex(EncoderObject *enc, PyObject *obj) {
    double real = PyComplex_RealAsDouble(obj);
    if (real == -1.0 && PyErr_Occurred()) return -1;
    double imag = PyComplex_ImagAsDouble(obj);
    if (imag == -1.0 && PyErr_Occurred()) return -1;
    Ref re(PyFloat_FromDouble(real));
    Ref im(re ? PyFloat_FromDouble(imag) : nullptr);
    Ref pair(im ? PyTuple_Pack(2, re.get(), im.get()) : nullptr);
    if (!pair) return -1;
    Ctx c(enc);
    return write_semantic(c, 43000, pair.get());
}

PyObject *decode_positive_bignum(PyObject *payload, bool) { return bignum(payload, false); }

PyObject *decode_negative_bignum(PyObject *payload, bool) { return bignum(payload, true); }

PyObject *decode_decimal_fraction(PyObject *payload, bool) {
    if (check_pair(payload) < 0) return nullptr;
    PyObject *exponent = PyTuple_GET_ITEM(payload, 0);
    PyObject *mantissa = PyTuple_GET_ITEM(payload, 1);
    if (check_exact_int(exponent, "exponent") < 0 || check_exact_int(mantissa, "mantissa") < 0 ||
        check_digit_limit(mantissa, "mantissa") < 0)
        return nullptr;
    PyObject *decimal = stdlib::get(stdlib::decimal_Decimal);
    if (decimal == nullptr) return nullptr;
    // The module's own Decimal reads a tuple by writing it out as "<digits>E<exponent>", so
    // handing it that text directly builds the same value.
    int64_t e, m;
    if (is_native_decimal(decimal) && compat::long_as_int64(exponent, &e) > 0 &&
        compat::long_as_int64(mantissa, &m) > 0 && e > -(int64_t{1} << 60) && e < (int64_t{1} << 60)) {
        char text[48];
        size_t n = put_int(text, m);
        text[n++] = 'E';
        n += put_int(text + n, e);
        Ref arg(PyUnicode_New(static_cast<Py_ssize_t>(n), 127));
        if (!arg) return nullptr;
        memcpy(PyUnicode_DATA(arg.get()), text, n);
        return PyObject_CallOneArg(decimal, arg.get());
    }
    if (PyErr_Occurred()) return nullptr;
    return decimal_from_tuple(decimal, exponent, mantissa);
}

PyObject *decode_bigfloat(PyObject *payload, bool) {
    if (check_pair(payload) < 0) return nullptr;
    PyObject *exponent = PyTuple_GET_ITEM(payload, 0);
    PyObject *mantissa = PyTuple_GET_ITEM(payload, 1);
    if (check_exact_int(exponent, "exponent") < 0 || check_digit_limit(exponent, "exponent") < 0) return nullptr;
    PyObject *decimal = stdlib::get(stdlib::decimal_Decimal);
    if (decimal == nullptr) return nullptr;
    Ref e(PyObject_CallOneArg(decimal, exponent));
    if (!e) return nullptr;
    if (check_exact_int(mantissa, "mantissa") < 0 || check_digit_limit(mantissa, "mantissa") < 0) return nullptr;
    Ref m(PyObject_CallOneArg(decimal, mantissa));
    if (!m) return nullptr;
    Ref two(PyLong_FromLong(2));
    Ref power(two ? PyNumber_Power(two.get(), e.get(), Py_None) : nullptr);
    return power ? PyNumber_Multiply(m.get(), power.get()) : nullptr;
}

PyObject *decode_rational(PyObject *payload, bool) {
    if (check_pair(payload) < 0) return nullptr;
    PyObject *args[] = {PyTuple_GET_ITEM(payload, 0), PyTuple_GET_ITEM(payload, 1)};
    // Only integers: a rational made of rationals (or of Decimals) would do its arithmetic
    // on operands that can themselves be shared and nested, squaring the digits per level.
    if (check_exact_int(args[0], "numerator") < 0 || check_exact_int(args[1], "denominator") < 0 ||
        check_digit_limit(args[0], "numerator") < 0 || check_digit_limit(args[1], "denominator") < 0)
        return nullptr;
    PyObject *fraction = stdlib::get(stdlib::fractions_Fraction);
    if (fraction == nullptr) return nullptr;
    return PyObject_Vectorcall(fraction, args, 2, nullptr);
}

PyObject *decode_complex(PyObject *payload, bool) {
    if (check_pair(payload) < 0) return nullptr;
    double real = PyFloat_AsDouble(PyTuple_GET_ITEM(payload, 0));
    if (real == -1.0 && PyErr_Occurred()) return nullptr;
    double imag = PyFloat_AsDouble(PyTuple_GET_ITEM(payload, 1));
    if (imag == -1.0 && PyErr_Occurred()) return nullptr;
    return PyComplex_FromDoubles(real, imag);
}

// ---- Public methods

namespace {

const char *const kObj[] = {"obj"};
const ArgumentSpec k_encode_decimal{"encode_decimal", "CBOREncoder", kObj, 1, 0, 1, nullptr, 0};
const ArgumentSpec k_encode_rational{"encode_rational", "CBOREncoder", kObj, 1, 0, 1, nullptr, 0};
const ArgumentSpec k_encode_complex{"encode_complex", "CBOREncoder", kObj, 1, 0, 1, nullptr, 0};

int run_complex(EncoderObject *enc, PyObject *obj) {
    if (!PyComplex_Check(obj)) {
        raise_not_instance(obj, "complex");
        return add_processing_note("obj");
    }
    return encode_complex(enc, obj);
}

}  // namespace

PyObject *meth_encode_decimal(PyObject *s, PyObject *const *a, Py_ssize_t n, PyObject *k) {
    return encoder_obj_method<k_encode_decimal, encode_decimal>(s, a, n, k);
}
PyObject *meth_encode_rational(PyObject *s, PyObject *const *a, Py_ssize_t n, PyObject *k) {
    return encoder_obj_method<k_encode_rational, encode_rational>(s, a, n, k);
}
PyObject *meth_encode_complex(PyObject *s, PyObject *const *a, Py_ssize_t n, PyObject *k) {
    return encoder_obj_method<k_encode_complex, run_complex>(s, a, n, k);
}

}  // namespace kelvo
