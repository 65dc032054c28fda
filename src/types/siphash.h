// SipHash-1-3 with both keys zero: the mixing function behind the hashes of CBORTag and
// frozendict (one compression round per 8-byte block, three finalisation rounds).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvo {

uint64_t siphash13(const uint8_t *data, size_t len) noexcept;

// Writes `v` as 8 little-endian bytes.
inline void store_le64(uint8_t *out, uint64_t v) noexcept {
    for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace kelvo
