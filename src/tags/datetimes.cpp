// Dates and times in both directions: datetimes as tags 0 and 1, dates as tags 1004 and 100.
#include "tags/registry.h"

#include "encoder/writer.h"
#include "lib/args.h"
#include "lib/cbor.h"
#include "lib/errors.h"
#include "lib/rfc3339.h"
#include "lib/stdlib.h"
#include "types/exceptions.h"

#include <datetime.h>

#include <cmath>

namespace kelvo {

namespace {

// Day number of 1970-01-01 in the proleptic Gregorian ordinal count (date.toordinal()).
constexpr long kEpochOrdinal = 719163;

stdlib::ImportCell g_capsule{{0, 0}, "datetime", "datetime_CAPI", false, nullptr};
stdlib::NameCell g_utcoffset{{0, 0}, "utcoffset", nullptr};
stdlib::NameCell g_toordinal{{0, 0}, "toordinal", nullptr};

// The datetime module's C interface, used only to recognise its exact types and to build
// their values; nullptr (no exception) when the module cannot be had, in which case no
// object can be of those types anyway.
const PyDateTime_CAPI *datetime_api() {
    PyObject *capsule = stdlib::get(g_capsule);
    void *api = capsule != nullptr ? PyCapsule_GetPointer(capsule, PyDateTime_CAPSULE_NAME) : nullptr;
    if (api == nullptr) PyErr_Clear();
    return static_cast<const PyDateTime_CAPI *>(api);
}

// Whether `fn` is a method of the built-in C type `type` bound to that class (so that
// what it returns is known exactly).
bool bound_to(PyObject *fn, PyTypeObject *type) {
    return PyCFunction_Check(fn) && PyCFunction_GET_SELF(fn) == reinterpret_cast<PyObject *>(type);
}

// Days from 1970-01-01 to the given proleptic Gregorian date.
long days_from_civil(long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long>(doe) - 719468;
}

// ---- Writing

int raise_naive() {
    return raise_exc(Exc::CBOREncodeError, "naive datetime encountered and no default timezone has been set");
}

// The encoder's timezone option (empty when unset), read under shared access.
bool read_timezone(EncoderObject *enc, Ref *out) {
    SharedAccess access;
    if (!access.acquire(enc->access, AccessSite::Window)) return false;
    *out = Ref::borrow(enc->timezone);
    return true;
}

// Whether a tag's content may be appended directly as the dispatch would write it: inside
// an encode (so the flushes are the same), with no `encoders` entry that could take it and
// no string references that could replace a text. Window held.
bool content_is_plain(EncoderObject *enc) {
    return enc->depth > 0 && enc->encoders == nullptr && !string_refs_active(enc);
}

// A tag whose content is the ASCII text s[0..n).
int write_text_tag(EncoderObject *enc, uint64_t tag, const char *s, size_t n) {
    Ctx c(enc);
    if (!c.open()) return -1;
    if (content_is_plain(enc)) {
        if (put_header(enc, cbor::kTag, tag) < 0) return -1;
        return put_string(enc, cbor::kText, s, n);
    }
    Ref text(PyUnicode_DecodeASCII(s, static_cast<Py_ssize_t>(n), nullptr));
    if (!text) return -1;
    return write_semantic(c, tag, text.get());
}

// A tag whose content is the integer v.
int write_int_tag(EncoderObject *enc, uint64_t tag, long long v) {
    Ctx c(enc);
    if (!c.open()) return -1;
    if (content_is_plain(enc)) {
        if (put_header(enc, cbor::kTag, tag) < 0) return -1;
        return v >= 0 ? put_header(enc, cbor::kUnsigned, static_cast<uint64_t>(v))
                      : put_header(enc, cbor::kNegative, ~static_cast<uint64_t>(v));
    }
    Ref number(PyLong_FromLongLong(v));
    if (!number) return -1;
    return write_semantic(c, tag, number.get());
}

int write_semantic_value(EncoderObject *enc, uint64_t tag, PyObject *value) {
    Ctx c(enc);
    return write_semantic(c, tag, value);
}

// Tag 1: obj.timestamp(), as an int when the double is integral and fits 64 bits.
int write_timestamp(EncoderObject *enc, PyObject *obj) {
    PyObject *name = stdlib::name(stdlib::Name::timestamp);
    if (name == nullptr) return -1;
    Ref stamp(PyObject_CallMethodNoArgs(obj, name));
    if (!stamp) return -1;
    double v = PyFloat_AsDouble(stamp.get());
    if (v == -1.0 && PyErr_Occurred()) return -1;
    if (std::trunc(v) == v && v >= -9223372036854775808.0 && v < 9223372036854775808.0)
        return write_int_tag(enc, cbor::tag::kDatetimeEpoch, static_cast<long long>(v));
    return write_semantic_value(enc, cbor::tag::kDatetimeEpoch, stamp.get());
}

// Tag 0 through obj.isoformat(). A zero offset is written "Z" only where it ends the text:
// an offset with seconds such as +00:00:30 keeps its form, which "Z:30" would not be.
int write_isoformat(EncoderObject *enc, PyObject *obj) {
    PyObject *name = stdlib::name(stdlib::Name::isoformat);
    PyObject *zero = stdlib::name(stdlib::Name::utc_offset);
    PyObject *z = stdlib::name(stdlib::Name::Z);
    if (name == nullptr || zero == nullptr || z == nullptr) return -1;
    Ref text(PyObject_CallMethodNoArgs(obj, name));
    if (!text) return -1;
    if (!PyUnicode_Check(text.get())) return raise_not_instance(text.get(), "str");
    Py_ssize_t n = PyUnicode_GET_LENGTH(text.get());
    Py_ssize_t ends = PyUnicode_Tailmatch(text.get(), zero, 0, n, 1);
    if (ends < 0) return -1;
    if (ends > 0) {
        Ref head(PyUnicode_Substring(text.get(), 0, n - PyUnicode_GET_LENGTH(zero)));
        if (!head) return -1;
        text = Ref(PyUnicode_Concat(head.get(), z));
        if (!text) return -1;
    }
    return write_semantic_value(enc, cbor::tag::kDatetimeText, text.get());
}

// The isoformat() text of an exact datetime whose zone is an exact `timezone`, with a zero
// offset as "Z", into buf (64 bytes). Returns its length, or -1 on error.
int format_datetime(const PyDateTime_CAPI *api, PyObject *obj, PyObject *tz, char *buf) {
    long long offset_us = 0;
    if (tz != api->TimeZone_UTC) {
        PyObject *name = stdlib::get(g_utcoffset);
        if (name == nullptr) return -1;
        Ref delta(PyObject_CallMethodOneArg(tz, name, obj));
        if (!delta) return -1;
        if (!Py_IS_TYPE(delta.get(), api->DeltaType)) return raise_not_instance(delta.get(), "timedelta");
        offset_us =
            (PyDateTime_DELTA_GET_DAYS(delta.get()) * 86400LL + PyDateTime_DELTA_GET_SECONDS(delta.get())) * 1000000LL +
            PyDateTime_DELTA_GET_MICROSECONDS(delta.get());
    }
    return static_cast<int>(rfc3339::format_datetime(obj, offset_us, buf) - buf);
}

// An exact datetime: the zone of the option is attached natively (as replace() would) and
// the text of a fixed-offset zone is built here; other zones go through isoformat().
int encode_exact_datetime(EncoderObject *enc, PyObject *obj, const PyDateTime_CAPI *api) {
    PyObject *tz = PyDateTime_DATE_GET_TZINFO(obj);
    Ref option, aware;
    if (tz == Py_None) {
        if (!read_timezone(enc, &option)) return -1;
        if (!option) return raise_naive();
        aware = Ref(api->DateTime_FromDateAndTimeAndFold(
            PyDateTime_GET_YEAR(obj), PyDateTime_GET_MONTH(obj), PyDateTime_GET_DAY(obj), PyDateTime_DATE_GET_HOUR(obj),
            PyDateTime_DATE_GET_MINUTE(obj), PyDateTime_DATE_GET_SECOND(obj), PyDateTime_DATE_GET_MICROSECOND(obj),
            option.get(), PyDateTime_DATE_GET_FOLD(obj), api->DateTimeType));
        if (!aware) return -1;
        obj = aware.get();
        tz = option.get();
    }
    if (enc->datetime_as_timestamp) return write_timestamp(enc, obj);
    if (!Py_IS_TYPE(tz, Py_TYPE(api->TimeZone_UTC))) return write_isoformat(enc, obj);
    char buf[64];
    int n = format_datetime(api, obj, tz, buf);
    if (n < 0) return -1;
    return write_text_tag(enc, cbor::tag::kDatetimeText, buf, static_cast<size_t>(n));
}

// Any object that behaves like a datetime.
[[gnu::noinline]] int encode_datetime_general(EncoderObject *enc, PyObject *obj) {
    PyObject *tzinfo = stdlib::name(stdlib::Name::tzinfo);
    if (tzinfo == nullptr) return -1;
    Ref tz(PyObject_GetAttr(obj, tzinfo));
    if (!tz) return -1;
    Ref aware;
    if (tz.get() == Py_None) {
        Ref option;
        if (!read_timezone(enc, &option)) return -1;
        if (!option) return raise_naive();
        PyObject *replace = stdlib::name(stdlib::Name::replace);
        if (replace == nullptr) return -1;
        Ref kwnames(PyTuple_Pack(1, tzinfo));
        if (!kwnames) return -1;
        PyObject *args[] = {obj, option.get()};
        aware = Ref(PyObject_VectorcallMethod(replace, args, 1, kwnames.get()));
        if (!aware) return -1;
        obj = aware.get();
    }
    if (enc->datetime_as_timestamp) return write_timestamp(enc, obj);
    return write_isoformat(enc, obj);
}

// Any object that behaves like a date (not under date_as_datetime).
[[gnu::noinline]] int encode_date_general(EncoderObject *enc, PyObject *obj) {
    if (enc->datetime_as_timestamp) {
        PyObject *name = stdlib::get(g_toordinal);
        if (name == nullptr) return -1;
        Ref ordinal(PyObject_CallMethodNoArgs(obj, name));
        if (!ordinal) return -1;
        int32_t v;
        if (convert_i32(ordinal.get(), &v) < 0) return -1;
        return write_int_tag(enc, cbor::tag::kDateEpoch, static_cast<long long>(v) - kEpochOrdinal);
    }
    PyObject *name = stdlib::name(stdlib::Name::isoformat);
    if (name == nullptr) return -1;
    Ref text(PyObject_CallMethodNoArgs(obj, name));
    if (!text) return -1;
    return write_semantic_value(enc, cbor::tag::kDateText, text.get());
}

// ---- Reading

// ASCII content of an exact str, or nullptr.
const char *ascii_of(PyObject *obj, Py_ssize_t *n) {
    if (!PyUnicode_CheckExact(obj) || !PyUnicode_IS_COMPACT_ASCII(obj)) return nullptr;
    *n = PyUnicode_GET_LENGTH(obj);
    return static_cast<const char *>(PyUnicode_DATA(obj));
}

}  // namespace

int encode_datetime(EncoderObject *enc, PyObject *obj) {
    const PyDateTime_CAPI *api = datetime_api();
    if (api != nullptr && Py_IS_TYPE(obj, api->DateTimeType)) return encode_exact_datetime(enc, obj, api);
    return encode_datetime_general(enc, obj);
}

int encode_date(EncoderObject *enc, PyObject *obj) {
    if (enc->date_as_datetime) {
        PyObject *combine = stdlib::get(stdlib::datetime_combine);
        PyObject *midnight = combine != nullptr ? stdlib::midnight() : nullptr;
        if (midnight == nullptr) return -1;
        PyObject *args[] = {obj, midnight};
        Ref dt(PyObject_Vectorcall(combine, args, 2, nullptr));
        if (!dt) return -1;
        return encode_datetime(enc, dt.get());
    }
    const PyDateTime_CAPI *api = datetime_api();
    if (api == nullptr || !Py_IS_TYPE(obj, api->DateType)) return encode_date_general(enc, obj);
    int y = PyDateTime_GET_YEAR(obj), m = PyDateTime_GET_MONTH(obj), d = PyDateTime_GET_DAY(obj);
    if (enc->datetime_as_timestamp)
        return write_int_tag(enc, cbor::tag::kDateEpoch,
                             days_from_civil(y, static_cast<unsigned>(m), static_cast<unsigned>(d)));
    char buf[10];
    char *p = rfc3339::put_digits(buf, y, 4);
    *p++ = '-';
    p = rfc3339::put_digits(p, m, 2);
    *p++ = '-';
    rfc3339::put_digits(p, d, 2);
    return write_text_tag(enc, cbor::tag::kDateText, buf, sizeof buf);
}

PyObject *decode_datetime_text(PyObject *payload, bool) {
    if (!PyUnicode_Check(payload)) {
        raise_not_instance(payload, "str");
        PyObject *cause = PyErr_GetRaisedException();
        Ref type_str(PyObject_Str(reinterpret_cast<PyObject *>(Py_TYPE(payload))));
        if (!type_str) {
            Py_XDECREF(cause);
            return nullptr;
        }
        raise_exc_format(Exc::CBORDecodeError, "expected string for tag, got %U instead", type_str.get());
        chain_cause(cause);
        return nullptr;
    }
    PyObject *parse = stdlib::get(stdlib::datetime_fromisoformat);
    if (parse == nullptr) return nullptr;
    Py_ssize_t n;
    const char *s = ascii_of(payload, &n);
    if (s != nullptr) {
        const PyDateTime_CAPI *api = datetime_api();
        if (api != nullptr && bound_to(parse, api->DateTimeType)) {
            PyObject *dt = rfc3339::parse_datetime(api, s, static_cast<size_t>(n));
            if (dt != nullptr || PyErr_Occurred()) return dt;
        }
    }
    Ref dt(PyObject_CallOneArg(parse, payload));
    if (!dt) return nullptr;
    PyObject *tzinfo = stdlib::name(stdlib::Name::tzinfo);
    if (tzinfo == nullptr) return nullptr;
    Ref tz(PyObject_GetAttr(dt.get(), tzinfo));
    if (!tz) return nullptr;
    if (tz.get() == Py_None) {
        raise_exc(Exc::CBORDecodeError, "invalid datetime string (missing UTC offset)");
        return nullptr;
    }
    return dt.release();
}

PyObject *decode_datetime_epoch(PyObject *payload, bool) {
    PyObject *from_timestamp = stdlib::get(stdlib::datetime_fromtimestamp);
    PyObject *utc = from_timestamp != nullptr ? stdlib::get(stdlib::timezone_utc) : nullptr;
    if (utc == nullptr) return nullptr;
    PyObject *args[] = {payload, utc};
    return PyObject_Vectorcall(from_timestamp, args, 2, nullptr);
}

PyObject *decode_date_epoch(PyObject *payload, bool) {
    PyObject *from_ordinal = stdlib::get(stdlib::date_fromordinal);
    if (from_ordinal == nullptr) return nullptr;
    Ref epoch(PyLong_FromLong(kEpochOrdinal));
    if (!epoch) return nullptr;
    Ref ordinal(PyNumber_Add(payload, epoch.get()));
    if (!ordinal) return nullptr;
    return PyObject_CallOneArg(from_ordinal, ordinal.get());
}

PyObject *decode_date_text(PyObject *payload, bool) {
    PyObject *parse = stdlib::get(stdlib::date_fromisoformat);
    if (parse == nullptr) return nullptr;
    Py_ssize_t n;
    const char *s = ascii_of(payload, &n);
    int y, m, d;
    if (s != nullptr && n == 10 && rfc3339::read_date(s, &y, &m, &d)) {
        const PyDateTime_CAPI *api = datetime_api();
        if (api != nullptr && bound_to(parse, api->DateType)) return api->Date_FromDate(y, m, d, api->DateType);
    }
    return PyObject_CallOneArg(parse, payload);
}

}  // namespace kelvo
