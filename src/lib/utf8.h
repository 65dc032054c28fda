// Text objects made straight from UTF-8 bytes: pure ASCII in one allocation and a copy,
// other valid UTF-8 measured once and written into a str of the right width.
#pragma once

#include "lib/ascii.h"
#include "lib/copy.h"
#include "lib/pyref.h"

#include <bit>
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

// The number of ASCII bytes at the start of the eight loaded into w (in memory order),
// given high = w & kHighBits, not zero.
inline size_t ascii_prefix(uint64_t high) {
    if constexpr (std::endian::native == std::endian::little)
        return static_cast<size_t>(__builtin_ctzll(high)) >> 3;
    else
        return static_cast<size_t>(__builtin_clzll(high)) >> 3;
}

// Counts the characters of the n bytes at p and finds the largest, when the bytes are
// well-formed UTF-8: no stray continuation byte, no overlong form, no surrogate, nothing
// above U+10FFFF, no sequence cut short. False otherwise.
inline bool measure(const uint8_t *p, size_t n, size_t *count, uint32_t *max) {
    size_t i = 0, chars = 0;
    uint32_t top = 0;
    while (i < n) {
        if (n - i >= 8) {
            // The ASCII bytes ahead, a word at a time, up to the first other one.
            uint64_t w;
            memcpy(&w, p + i, 8);
            uint64_t high = w & kHighBits;
            if (high == 0) {
                i += 8;
                chars += 8;
                continue;
            }
            size_t k = ascii_prefix(high);
            i += k;
            chars += k;
        } else if (p[i] < 0x80) {
            ++i;
            ++chars;
            continue;
        }
        uint8_t b = p[i];
        uint32_t c;
        if (b < 0xc2) return false;
        if (b < 0xe0) {
            if (n - i < 2 || !continuation(p[i + 1])) return false;
            c = (uint32_t{b} & 0x1f) << 6 | (p[i + 1] & 0x3f);
            i += 2;
        } else if (b < 0xf0) {
            if (n - i < 3) return false;
            uint8_t b1 = p[i + 1];
            // E0 needs A0 and above (shorter forms exist), ED stops at 9F (surrogates).
            uint8_t lo = b == 0xe0 ? 0xa0 : 0x80, hi = b == 0xed ? 0x9f : 0xbf;
            if (b1 < lo || b1 > hi || !continuation(p[i + 2])) return false;
            c = (uint32_t{b} & 0x0f) << 12 | (uint32_t{b1} & 0x3f) << 6 | (p[i + 2] & 0x3f);
            i += 3;
        } else if (b < 0xf5) {
            if (n - i < 4) return false;
            uint8_t b1 = p[i + 1];
            // F0 needs 90 and above (shorter forms exist), F4 stops at 8F (U+10FFFF).
            uint8_t lo = b == 0xf0 ? 0x90 : 0x80, hi = b == 0xf4 ? 0x8f : 0xbf;
            if (b1 < lo || b1 > hi || !continuation(p[i + 2]) || !continuation(p[i + 3])) return false;
            c = (uint32_t{b} & 0x07) << 18 | (uint32_t{b1} & 0x3f) << 12 | (uint32_t{p[i + 2]} & 0x3f) << 6 |
                (p[i + 3] & 0x3f);
            i += 4;
        } else {
            return false;
        }
        if (c > top) top = c;
        ++chars;
    }
    *count = chars;
    *max = top;
    return true;
}

// Writes the characters of the n bytes at p, which measure() accepted, as units of type C
// wide enough for every one of them.
template <typename C>
void widen(C *out, const uint8_t *p, size_t n) {
    size_t i = 0;
    while (i < n) {
        if (n - i >= 8) {
            uint64_t w;
            memcpy(&w, p + i, 8);
            uint64_t high = w & kHighBits;
            size_t k = high == 0 ? 8 : ascii_prefix(high);
            if constexpr (sizeof(C) == 1) {
                // Eight ASCII bytes are eight characters: room for them is certain.
                if (k == 8)
                    memcpy(out, &w, 8);
                else
                    for (size_t j = 0; j < k; ++j) out[j] = p[i + j];
            } else if (k == 8) {
                // A fixed count the compiler widens in one go.
                for (size_t j = 0; j < 8; ++j) out[j] = p[i + j];
            } else {
                for (size_t j = 0; j < k; ++j) out[j] = p[i + j];
            }
            out += k;
            i += k;
            if (k == 8) continue;
        } else if (p[i] < 0x80) {
            *out++ = p[i++];
            continue;
        }
        uint8_t b = p[i];
        if (b < 0xe0) {
            *out++ = static_cast<C>((uint32_t{b} & 0x1f) << 6 | (p[i + 1] & 0x3f));
            i += 2;
        } else if (b < 0xf0) {
            *out++ = static_cast<C>((uint32_t{b} & 0x0f) << 12 | (uint32_t{p[i + 1]} & 0x3f) << 6 | (p[i + 2] & 0x3f));
            i += 3;
        } else {
            *out++ = static_cast<C>((uint32_t{b} & 0x07) << 18 | (uint32_t{p[i + 1]} & 0x3f) << 12 |
                                    (uint32_t{p[i + 2]} & 0x3f) << 6 | (p[i + 3] & 0x3f));
            i += 4;
        }
    }
}

// The str of well-formed UTF-8 that is not pure ASCII, or nullptr without an exception
// when the bytes are not well-formed or make a single character (which the interpreter's
// decoder may share). NULL with the exception set when memory runs out.
inline PyObject *decode_well_formed(const uint8_t *p, size_t n, bool *failed) {
    size_t count;
    uint32_t max;
    *failed = false;
    if (!measure(p, n, &count, &max) || count < 2) return nullptr;
    PyObject *s = PyUnicode_New(static_cast<Py_ssize_t>(count), static_cast<Py_UCS4>(max));
    if (s == nullptr) {
        *failed = true;
        return nullptr;
    }
    void *data = PyUnicode_DATA(s);
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND:
            widen(static_cast<Py_UCS1 *>(data), p, n);
            break;
        case PyUnicode_2BYTE_KIND:
            widen(static_cast<Py_UCS2 *>(data), p, n);
            break;
        default:
            widen(static_cast<Py_UCS4 *>(data), p, n);
            break;
    }
    return s;
}

}  // namespace utf8

// decode_utf8_text for text that is not pure ASCII, or shorter than two bytes.
[[gnu::noinline]] inline PyObject *decode_utf8_other(const uint8_t *p, size_t n, const char *errors) {
    if (n >= 2) {
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
