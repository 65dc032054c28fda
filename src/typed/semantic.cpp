// Semantic values read and written without the general codec: datetimes, dates, UUIDs and
// Decimals, each only in the exact form the general codec uses for it.
#include "typed/semantic.h"

#include "lib/rfc3339.h"

#include <cmath>
#include <cstring>

namespace kelvo::typed {

namespace {

// A head of the given major type with the shortest argument; the length written.
size_t put_head(uint8_t *out, int major, uint64_t arg) {
    const uint8_t m = static_cast<uint8_t>(major << 5);
    if (arg < 24) {
        out[0] = static_cast<uint8_t>(m | arg);
        return 1;
    }
    int width = arg <= 0xff ? 1 : arg <= 0xffff ? 2 : arg <= 0xffffffffull ? 4 : 8;
    out[0] = static_cast<uint8_t>(m | (width == 1 ? 24 : width == 2 ? 25 : width == 4 ? 26 : 27));
    for (int i = 0; i < width; ++i) out[1 + i] = static_cast<uint8_t>(arg >> (8 * (width - 1 - i)));
    return 1 + static_cast<size_t>(width);
}

size_t put_int(uint8_t *out, int64_t v) {
    return v >= 0 ? put_head(out, 0, static_cast<uint64_t>(v)) : put_head(out, 1, ~static_cast<uint64_t>(v));
}

// Tag 0 around the isoformat() text of an exact datetime whose zone is an exact `timezone`,
// with a zero offset as "Z"; 0 for any other datetime.
Py_ssize_t write_datetime(const SemanticKit &kit, PyObject *obj, uint8_t *out) {
    const PyDateTime_CAPI *api = kit.api;
    PyObject *tz = PyDateTime_DATE_GET_TZINFO(obj);
    if (tz == Py_None || !Py_IS_TYPE(tz, Py_TYPE(api->TimeZone_UTC))) return 0;
    long long offset_us = 0;
    if (tz != api->TimeZone_UTC) {
        Ref delta(PyObject_CallMethodOneArg(tz, kit.utcoffset_name, obj));
        if (!delta) return -1;
        if (!Py_IS_TYPE(delta.get(), api->DeltaType)) return 0;
        offset_us =
            (PyDateTime_DELTA_GET_DAYS(delta.get()) * 86400LL + PyDateTime_DELTA_GET_SECONDS(delta.get())) * 1000000LL +
            PyDateTime_DELTA_GET_MICROSECONDS(delta.get());
    }
    char buf[64];
    const char *p = rfc3339::format_datetime(obj, offset_us, buf);
    const size_t n = static_cast<size_t>(p - buf);
    out[0] = 0xc0;  // tag 0
    size_t len = 1 + put_head(out + 1, 3, n);
    std::memcpy(out + len, buf, n);
    return static_cast<Py_ssize_t>(len + n);
}

// Tag 1004 around "YYYY-MM-DD".
Py_ssize_t write_date(PyObject *obj, uint8_t *out) {
    static const uint8_t kHead[] = {0xd9, 0x03, 0xec, 0x6a};  // tag 1004, text of 10 bytes
    std::memcpy(out, kHead, sizeof kHead);
    char *p = reinterpret_cast<char *>(out + sizeof kHead);
    p = rfc3339::put_digits(p, PyDateTime_GET_YEAR(obj), 4);
    *p++ = '-';
    p = rfc3339::put_digits(p, PyDateTime_GET_MONTH(obj), 2);
    *p++ = '-';
    rfc3339::put_digits(p, PyDateTime_GET_DAY(obj), 2);
    return sizeof kHead + 10;
}

// Tag 37 around the 16 bytes of the int slot; 0 when the slot holds no int of 128 bits.
Py_ssize_t write_uuid(const SemanticKit &kit, PyObject *obj, uint8_t *out) {
    const int r = uuid_layout::read_bytes(kit.uuid, obj, out + 3);
    if (r <= 0) return r;
    out[0] = 0xd8;  // tag 37
    out[1] = 0x25;
    out[2] = 0x50;  // 16 bytes
    return 19;
}

// Tag 4 around [exponent, mantissa] read from str() of a finite Decimal whose mantissa has at
// most 18 digits; 0 for any other (NaN, the infinities, longer mantissas).
Py_ssize_t write_decimal(PyObject *obj, uint8_t *out) {
    Ref text(PyObject_Str(obj));
    if (!text) return -1;
    Py_ssize_t len;
    const char *s = PyUnicode_AsUTF8AndSize(text.get(), &len);
    if (s == nullptr) return -1;
    const char *p = s, *end = s + len;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    int64_t mantissa = 0;
    int digits = 0, frac_digits = 0;
    bool any = false;
    while (p < end && *p >= '0' && *p <= '9') {
        mantissa = mantissa * 10 + (*p++ - '0');
        any = true;
        if (++digits > 18) return 0;
    }
    if (p < end && *p == '.') {
        ++p;
        while (p < end && *p >= '0' && *p <= '9') {
            mantissa = mantissa * 10 + (*p++ - '0');
            any = true;
            ++frac_digits;
            if (++digits > 18) return 0;
        }
    }
    if (!any) return 0;
    int64_t written = 0;
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        bool exp_negative = false;
        if (p < end && (*p == '+' || *p == '-')) exp_negative = *p++ == '-';
        if (p == end || end - p > 12) return 0;
        while (p < end && *p >= '0' && *p <= '9') written = written * 10 + (*p++ - '0');
        if (exp_negative) written = -written;
    }
    if (p != end) return 0;
    out[0] = 0xc4;  // tag 4
    out[1] = 0x82;  // an array of 2
    size_t n = 2 + put_int(out + 2, written - frac_digits);
    n += put_int(out + n, negative ? -mantissa : mantissa);
    return static_cast<Py_ssize_t>(n);
}

}  // namespace

int load_semantic_kit(SemanticKit &kit) {
    PyObject *capsule_api = static_cast<PyObject *>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
    if (capsule_api == nullptr) return -1;
    kit.api = reinterpret_cast<const PyDateTime_CAPI *>(capsule_api);
    Ref datetime_module(PyImport_ImportModule("datetime"));
    if (!datetime_module) return -1;
    replace_field(kit.datetime_capsule, PyObject_GetAttrString(datetime_module.get(), "datetime_CAPI"));
    if (kit.datetime_capsule == nullptr) return -1;
    replace_field(kit.utcoffset_name, PyUnicode_InternFromString("utcoffset"));
    if (kit.utcoffset_name == nullptr) return -1;
    Ref uuid_module(PyImport_ImportModule("uuid"));
    if (!uuid_module) return -1;
    Ref uuid_type(PyObject_GetAttrString(uuid_module.get(), "UUID"));
    if (!uuid_type) return -1;
    if (uuid_layout::inspect(uuid_type.get(), kit.uuid)) kit.uuid.type = uuid_type.release();
    Ref decimal_module(PyImport_ImportModule("decimal"));
    if (!decimal_module) return -1;
    Ref decimal_type(PyObject_GetAttrString(decimal_module.get(), "Decimal"));
    if (!decimal_type) return -1;
    // Only the module's own C type reads "<digits>E<exponent>" and writes str() in the form
    // read above.
    if (PyType_Check(decimal_type.get())) {
        auto *tp = reinterpret_cast<PyTypeObject *>(decimal_type.get());
        if (PyType_HasFeature(tp, Py_TPFLAGS_IMMUTABLETYPE) && std::strcmp(tp->tp_name, "decimal.Decimal") == 0)
            kit.decimal_type = decimal_type.release();
    }
    return 0;
}

PyObject *parse_datetime(const SemanticKit &kit, const char *s, size_t n) {
    return rfc3339::parse_datetime(kit.api, s, n);
}

PyObject *parse_date(const SemanticKit &kit, const char *s, size_t n) {
    int y, m, d;
    if (n != 10 || !rfc3339::read_date(s, &y, &m, &d)) return nullptr;
    return kit.api->Date_FromDate(y, m, d, kit.api->DateType);
}

PyObject *build_uuid(const SemanticKit &kit, const uint8_t *raw) { return uuid_layout::build(kit.uuid, raw); }

PyObject *build_decimal(const SemanticKit &kit, int64_t exponent, int64_t mantissa) {
    // The C Decimal reads a tuple by writing it out as "<digits>E<exponent>": the same text
    // builds the same value.
    char text[48];
    char digits[24];
    size_t n = 0, k = 0;
    uint64_t u = mantissa < 0 ? 0 - static_cast<uint64_t>(mantissa) : static_cast<uint64_t>(mantissa);
    do {
        digits[k++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u != 0);
    if (mantissa < 0) text[n++] = '-';
    while (k > 0) text[n++] = digits[--k];
    text[n++] = 'E';
    u = exponent < 0 ? 0 - static_cast<uint64_t>(exponent) : static_cast<uint64_t>(exponent);
    do {
        digits[k++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u != 0);
    if (exponent < 0) text[n++] = '-';
    while (k > 0) text[n++] = digits[--k];
    Ref arg(PyUnicode_New(static_cast<Py_ssize_t>(n), 127));
    if (!arg) return nullptr;
    std::memcpy(PyUnicode_DATA(arg.get()), text, n);
    return PyObject_CallOneArg(kit.decimal_type, arg.get());
}

Py_ssize_t write_semantic(const SemanticKit &kit, PyObject *o, uint8_t *out) {
    PyTypeObject *t = Py_TYPE(o);
    if (kit.api != nullptr) {
        if (t == kit.api->DateTimeType) return write_datetime(kit, o, out);
        if (t == kit.api->DateType) return write_date(o, out);
    }
    if (kit.uuid.type != nullptr && t == reinterpret_cast<PyTypeObject *>(kit.uuid.type))
        return write_uuid(kit, o, out);
    if (kit.decimal_type != nullptr && t == reinterpret_cast<PyTypeObject *>(kit.decimal_type))
        return write_decimal(o, out);
    return 0;
}

}  // namespace kelvo::typed
