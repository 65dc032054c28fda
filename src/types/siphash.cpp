#include "types/siphash.h"

namespace kelvo {

namespace {

constexpr uint64_t rotl(uint64_t x, int b) noexcept { return (x << b) | (x >> (64 - b)); }

struct SipState {
    uint64_t v0 = 0x736f6d6570736575ULL;
    uint64_t v1 = 0x646f72616e646f6dULL;
    uint64_t v2 = 0x6c7967656e657261ULL;
    uint64_t v3 = 0x7465646279746573ULL;

    void round() noexcept {
        v0 += v1;
        v1 = rotl(v1, 13);
        v1 ^= v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = rotl(v1, 17);
        v1 ^= v2;
        v2 = rotl(v2, 32);
    }
    void compress(uint64_t m) noexcept {
        v3 ^= m;
        round();
        v0 ^= m;
    }
};

uint64_t load_le(const uint8_t *p, size_t n) noexcept {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
    return v;
}

}  // namespace

uint64_t siphash13(const uint8_t *data, size_t len) noexcept {
    SipState s;
    size_t full = len & ~static_cast<size_t>(7);
    for (size_t i = 0; i < full; i += 8) s.compress(load_le(data + i, 8));
    s.compress((static_cast<uint64_t>(len) << 56) | load_le(data + full, len - full));
    s.v2 ^= 0xff;
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace kelvo
