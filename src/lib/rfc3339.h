// The RFC 3339 text kelvo writes for dates and aware datetimes, read without the datetime
// module's parser and written without isoformat(): shared by the datetime tags and the typed
// codec.
#pragma once

#include "lib/pyref.h"

#include <datetime.h>

#include <cstddef>

namespace kelvo::rfc3339 {

inline int days_in_month(int year, int month) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2 && (year % 4 == 0 && (year % 100 != 0 || year % 400 == 0))) return 29;
    return kDays[month - 1];
}

inline bool digits_at(const char *s, int n, int *out) {
    int v = 0;
    for (int i = 0; i < n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + (s[i] - '0');
    }
    *out = v;
    return true;
}

// "YYYY-MM-DD" with a valid date.
inline bool read_date(const char *s, int *y, int *m, int *d) {
    return digits_at(s, 4, y) && s[4] == '-' && digits_at(s + 5, 2, m) && s[7] == '-' && digits_at(s + 8, 2, d) &&
           *y >= 1 && *m >= 1 && *m <= 12 && *d >= 1 && *d <= days_in_month(*y, *m);
}

// The text kelvo writes for an aware datetime, "YYYY-MM-DDTHH:MM:SS[.ffffff](Z|+HH:MM|-HH:MM)"
// with valid fields, built as fromisoformat() builds it. nullptr without an exception for
// any other text (the caller's general path then decides).
inline PyObject *parse_datetime(const PyDateTime_CAPI *api, const char *s, size_t n) {
    int y, mo, d, h, mi, sec, us = 0;
    if (n < 20 || !read_date(s, &y, &mo, &d) || s[10] != 'T' || !digits_at(s + 11, 2, &h) || s[13] != ':' ||
        !digits_at(s + 14, 2, &mi) || s[16] != ':' || !digits_at(s + 17, 2, &sec) || h > 23 || mi > 59 || sec > 59)
        return nullptr;
    const char *p = s + 19, *end = s + n;
    if (*p == '.') {
        if (end - p < 7 || !digits_at(p + 1, 6, &us)) return nullptr;
        p += 7;
    }
    int offset = 0;
    if (end - p == 1 && *p == 'Z') {
        offset = 0;
    } else if (end - p == 6 && (*p == '+' || *p == '-') && p[3] == ':') {
        int oh, om;
        if (!digits_at(p + 1, 2, &oh) || !digits_at(p + 4, 2, &om) || oh > 23 || om > 59) return nullptr;
        offset = (oh * 60 + om) * 60 * (*p == '-' ? -1 : 1);
    } else {
        return nullptr;
    }
    Ref tz;
    if (offset == 0) {
        tz = Ref::borrow(api->TimeZone_UTC);
    } else {
        Ref delta(api->Delta_FromDelta(0, offset, 0, 1, api->DeltaType));
        if (!delta) return nullptr;
        tz = Ref(api->TimeZone_FromTimeZone(delta.get(), nullptr));
        if (!tz) return nullptr;
    }
    return api->DateTime_FromDateAndTime(y, mo, d, h, mi, sec, us, tz.get(), api->DateTimeType);
}

// ---- Writing

inline char *put_digits(char *p, long v, int width) {
    for (int i = width - 1; i >= 0; --i) {
        p[i] = static_cast<char>('0' + v % 10);
        v /= 10;
    }
    return p + width;
}

// The text of a datetime whose zone is `offset_us` microseconds from UTC, as isoformat()
// writes it but with a zero offset as "Z", into buf (64 bytes). Returns the end of the text.
inline char *format_datetime(PyObject *obj, long long offset_us, char *buf) {
    char *p = put_digits(buf, PyDateTime_GET_YEAR(obj), 4);
    *p++ = '-';
    p = put_digits(p, PyDateTime_GET_MONTH(obj), 2);
    *p++ = '-';
    p = put_digits(p, PyDateTime_GET_DAY(obj), 2);
    *p++ = 'T';
    p = put_digits(p, PyDateTime_DATE_GET_HOUR(obj), 2);
    *p++ = ':';
    p = put_digits(p, PyDateTime_DATE_GET_MINUTE(obj), 2);
    *p++ = ':';
    p = put_digits(p, PyDateTime_DATE_GET_SECOND(obj), 2);
    if (int us = PyDateTime_DATE_GET_MICROSECOND(obj); us != 0) {
        *p++ = '.';
        p = put_digits(p, us, 6);
    }
    if (offset_us == 0) {
        *p++ = 'Z';
        return p;
    }
    *p++ = offset_us < 0 ? '-' : '+';
    if (offset_us < 0) offset_us = -offset_us;
    const long long us = offset_us % 1000000, secs = offset_us / 1000000;
    p = put_digits(p, static_cast<long>(secs / 3600), 2);
    *p++ = ':';
    p = put_digits(p, static_cast<long>(secs / 60 % 60), 2);
    if (secs % 60 != 0 || us != 0) {
        *p++ = ':';
        p = put_digits(p, static_cast<long>(secs % 60), 2);
        if (us != 0) {
            *p++ = '.';
            p = put_digits(p, static_cast<long>(us), 6);
        }
    }
    return p;
}

}  // namespace kelvo::rfc3339
