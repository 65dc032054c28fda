// Text objects made straight from UTF-8 bytes: pure ASCII in one allocation and a copy,
// other well-formed UTF-8 up to a few hundred bytes decoded in one pass and copied into a
// str of the right width.
#pragma once

#include "lib/ascii.h"
#include "lib/copy.h"
#include "lib/pyref.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kelvo {

// A compact ASCII str holding the n bytes at p, which must all be below 0x80. Built as
// the interpreter builds one (the header, the characters, a terminating zero in one
// block), without its general size and width selection. New reference or NULL.
[[gnu::always_inline]] inline PyObject *new_ascii_str(const uint8_t *p, size_t n) {
    auto *s = static_cast<PyASCIIObject *>(PyObject_Malloc(sizeof(PyASCIIObject) + n + 1));
    if (s == nullptr) return PyErr_NoMemory();
    PyObject_Init(reinterpret_cast<PyObject *>(s), &PyUnicode_Type);
    s->length = static_cast<Py_ssize_t>(n);
    s->hash = -1;
    decltype(s->state) state{};
    state.kind = PyUnicode_1BYTE_KIND;
    state.compact = 1;
    state.ascii = 1;
    s->state = state;
    auto *data = reinterpret_cast<uint8_t *>(s + 1);
    copy_bytes(data, p, n);
    data[n] = 0;
    return reinterpret_cast<PyObject *>(s);
}

namespace utf8 {

constexpr uint64_t kHighBits = 0x8080808080808080ull;

inline bool continuation(uint8_t b) { return (b & 0xc0) == 0x80; }

// The high bits of the eight bytes at p: 0 when they are all ASCII, otherwise the lowest
// set bit lies in the first byte that is not.
inline uint64_t ascii_run(const uint8_t *p) {
    uint64_t w;
    memcpy(&w, p, 8);
    return w & kHighBits;
}

// Text up to this many bytes is decoded here, in one pass through a buffer of code
// points; longer text goes to the interpreter's decoder, whose loops over long runs are
// the faster there.
constexpr size_t kDirectMax = 256;

// Decodes the n bytes at p (n <= kDirectMax) into one code point per unit of `out`, when
// they are well-formed UTF-8: no stray continuation byte, no overlong form, no surrogate,
// nothing above U+10FFFF, no sequence cut short. The number of characters, or -1 when the
// bytes are not well-formed; *bits gets every code point or-ed together.
inline ptrdiff_t decode_units(const uint8_t *p, size_t n, uint32_t *out, uint32_t *bits) {
    size_t i = 0, k = 0;
    uint32_t all = 0;
    while (i < n) {
        uint32_t b = p[i];
        uint32_t c;
        if (b < 0x80) {
            if (n - i >= 8) {
                // An ASCII run: eight bytes at a time, then the ASCII bytes before the first
                // that is not, at once (out has room for eight: k + 8 <= i + 8 <= n).
                uint64_t high = ascii_run(p + i);
                size_t run = high == 0 ? 8 : static_cast<size_t>(__builtin_ctzll(high)) >> 3;
                for (size_t j = 0; j < 8; ++j) out[k + j] = p[i + j];
                i += run;
                k += run;
                continue;
            }
            c = b;
            i += 1;
        } else if (b < 0xe0) {
            if (b < 0xc2 || n - i < 2 || !continuation(p[i + 1])) return -1;
            c = (b & 0x1f) << 6 | (p[i + 1] & 0x3f);
            i += 2;
        } else if (b < 0xf0) {
            if (n - i < 3) return -1;
            uint8_t b1 = p[i + 1];
            // E0 needs A0 and above (shorter forms exist), ED stops at 9F (surrogates).
            uint8_t lo = b == 0xe0 ? 0xa0 : 0x80, hi = b == 0xed ? 0x9f : 0xbf;
            if (b1 < lo || b1 > hi || !continuation(p[i + 2])) return -1;
            c = (b & 0x0f) << 12 | (uint32_t{b1} & 0x3f) << 6 | (p[i + 2] & 0x3f);
            i += 3;
        } else if (b < 0xf5) {
            if (n - i < 4) return -1;
            uint8_t b1 = p[i + 1];
            // F0 needs 90 and above (shorter forms exist), F4 stops at 8F (U+10FFFF).
            uint8_t lo = b == 0xf0 ? 0x90 : 0x80, hi = b == 0xf4 ? 0x8f : 0xbf;
            if (b1 < lo || b1 > hi || !continuation(p[i + 2]) || !continuation(p[i + 3])) return -1;
            c = (b & 0x07) << 18 | (uint32_t{b1} & 0x3f) << 12 | (uint32_t{p[i + 2]} & 0x3f) << 6 | (p[i + 3] & 0x3f);
            i += 4;
        } else {
            return -1;
        }
        all |= c;
        out[k++] = c;
    }
    *bits = all;
    return static_cast<ptrdiff_t>(k);
}

template <typename C>
void narrow(C *dst, const uint32_t *src, size_t count) {
    for (size_t j = 0; j < count; ++j) dst[j] = static_cast<C>(src[j]);
}

// The str of the n bytes at p (n <= kDirectMax) when they are well-formed UTF-8 of two
// characters or more, or nullptr without an exception otherwise (a single character may
// be a string the interpreter shares). NULL with the exception set when memory runs out.
inline PyObject *decode_well_formed(const uint8_t *p, size_t n, bool *failed) {
    uint32_t units[kDirectMax];
    uint32_t bits;
    *failed = false;
    ptrdiff_t count = decode_units(p, n, units, &bits);
    if (count < 2) return nullptr;
    // The or of the code points lies below 0x80, 0x100 or 0x10000 exactly when the largest
    // does, which is all the width of the str depends on.
    Py_UCS4 max = bits < 0x10000 ? bits : 0x10ffff;
    PyObject *s = PyUnicode_New(count, max);
    if (s == nullptr) {
        *failed = true;
        return nullptr;
    }
    void *data = PyUnicode_DATA(s);
    size_t length = static_cast<size_t>(count);
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND:
            narrow(static_cast<Py_UCS1 *>(data), units, length);
            break;
        case PyUnicode_2BYTE_KIND:
            narrow(static_cast<Py_UCS2 *>(data), units, length);
            break;
        default:
            memcpy(data, units, length * sizeof(Py_UCS4));
            break;
    }
    return s;
}

}  // namespace utf8

// decode_utf8_text for text that is not pure ASCII, or shorter than two bytes.
[[gnu::noinline]] inline PyObject *decode_utf8_other(const uint8_t *p, size_t n, const char *errors) {
    if (n >= 2 && n <= utf8::kDirectMax) {
        bool failed;
        PyObject *s = utf8::decode_well_formed(p, n, &failed);
        if (s != nullptr || failed) return s;
    }
    return PyUnicode_DecodeUTF8(reinterpret_cast<const char *>(p), static_cast<Py_ssize_t>(n), errors);
}

// The str of the n bytes of UTF-8 at p under the error handler `errors` (NULL: strict).
// Well-formed input is decoded here, giving the str the interpreter's decoder gives;
// anything else, and single characters, go through that decoder, so that its errors,
// replacements and shared one-character strings stay as they are. New reference or NULL.
[[gnu::always_inline]] inline PyObject *decode_utf8_text(const uint8_t *p, size_t n, const char *errors) {
    if (n >= 2 && is_ascii(p, n)) return new_ascii_str(p, n);
    return decode_utf8_other(p, n, errors);
}

}  // namespace kelvo
