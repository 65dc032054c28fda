// Whether bytes are pure ASCII, for the text fast paths of the decoders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kelvo {

// True when none of the n bytes has its high bit set, tested a word at a time.
inline bool is_ascii(const uint8_t *p, size_t n) {
    constexpr uint64_t kHigh = 0x8080808080808080ull;
    uint64_t acc = 0;
    size_t i = 0;
    // Two words a step while they last: the loads of a step do not wait on each other.
    for (; i + 16 <= n; i += 16) {
        uint64_t a, b;
        std::memcpy(&a, p + i, 8);
        std::memcpy(&b, p + i + 8, 8);
        acc |= a | b;
    }
    if (i + 8 <= n) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        acc |= w;
        i += 8;
    }
    if (i < n) {
        // The partial last word: the final 8 bytes again, or overlapping shorter loads.
        if (n >= 8) {
            uint64_t w;
            std::memcpy(&w, p + n - 8, 8);
            acc |= w;
        } else if (n >= 4) {
            uint32_t a, b;
            std::memcpy(&a, p, 4);
            std::memcpy(&b, p + n - 4, 4);
            acc |= a | b;
        } else {
            acc |= p[0] | p[n / 2] | p[n - 1];
        }
    }
    return (acc & kHigh) == 0;
}

}  // namespace kelvo
