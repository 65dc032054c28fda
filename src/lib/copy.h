// Copies of short byte runs, the common case when strings are written or read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kelvo {

// Copies n bytes, fewer than 8, with two overlapping moves (or three single bytes).
[[gnu::always_inline]] inline void copy_under_8(uint8_t *dst, const uint8_t *src, size_t n) {
    if (n >= 4) {
        uint32_t a, b;
        memcpy(&a, src, 4);
        memcpy(&b, src + n - 4, 4);
        memcpy(dst, &a, 4);
        memcpy(dst + n - 4, &b, 4);
    } else if (n > 0) {
        uint8_t a = src[0], b = src[n / 2], c = src[n - 1];
        dst[0] = a;
        dst[n / 2] = b;
        dst[n - 1] = c;
    }
}

// Copies n bytes; up to 32 of them with a few overlapping moves instead of a library call
// (most strings are short).
[[gnu::always_inline]] inline void copy_bytes(uint8_t *dst, const void *src, size_t n) {
    auto *s = static_cast<const uint8_t *>(src);
    if (n > 32) {
        memcpy(dst, s, n);
    } else if (n >= 16) {
        uint8_t a[16], b[16];
        memcpy(a, s, 16);
        memcpy(b, s + n - 16, 16);
        memcpy(dst, a, 16);
        memcpy(dst + n - 16, b, 16);
    } else if (n >= 8) {
        uint64_t a, b;
        memcpy(&a, s, 8);
        memcpy(&b, s + n - 8, 8);
        memcpy(dst, &a, 8);
        memcpy(dst + n - 8, &b, 8);
    } else {
        copy_under_8(dst, s, n);
    }
}

// Copies n bytes, at most 40: from 8 bytes on with five word moves whose offsets are
// clamped to the last word, so that the length, which varies from one string to the next,
// decides no branch there. Reads and writes stay within the n bytes.
[[gnu::always_inline]] inline void copy_short(uint8_t *dst, const uint8_t *src, size_t n) {
    if (n >= 8) [[likely]] {
        size_t last = n - 8;
#pragma GCC unroll 5
        for (size_t i = 0; i < 40; i += 8) {
            size_t at = i < last ? i : last;
            uint64_t w;
            memcpy(&w, src + at, 8);
            memcpy(dst + at, &w, 8);
        }
    } else {
        copy_under_8(dst, src, n);
    }
}

}  // namespace kelvo
