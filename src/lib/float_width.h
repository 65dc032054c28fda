// Float widths: exact conversion between binary16 and the wider formats, and whether a value
// fits a narrower one; shared by the encoder, the decoder and the deterministic writer and checker.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace kelvo::float_width {

// The binary16 encodings written for NaN (any sign or payload) and the infinities.
inline constexpr uint16_t kHalfNaN = 0x7e00;
inline constexpr uint16_t kHalfInfinity = 0x7c00;
inline constexpr uint16_t kHalfMinusInfinity = 0xfc00;

// The exact binary64 value of a binary16. A NaN keeps its sign and its ten payload bits at the
// top of the significand, quieted, as widening a binary32 NaN on the hardware would.
inline double half_to_double(uint16_t h) {
    const uint32_t sign = h >> 15;
    const uint32_t exponent = (h >> 10) & 0x1f;
    const uint32_t mantissa = h & 0x3ff;
    double v;
    if (exponent == 0) {
        v = std::ldexp(static_cast<double>(mantissa), -24);
    } else if (exponent != 31) {
        v = std::ldexp(static_cast<double>(mantissa | 0x400), static_cast<int>(exponent) - 25);
    } else if (mantissa == 0) {
        v = HUGE_VAL;
    } else {
        const uint64_t single_mantissa = 0x400000u | (uint64_t{mantissa} << 13);
        const uint64_t bits = (uint64_t{sign} << 63) | (uint64_t{0x7ff} << 52) | (single_mantissa << 29);
        memcpy(&v, &bits, sizeof v);
        return v;
    }
    return sign ? -v : v;
}

// Whether a finite binary32 (given by its bits) is exactly a binary16 value.
constexpr bool single_fits_half(uint32_t bits) {
    const uint32_t e = (bits >> 23) & 0xff;
    const uint32_t m = bits & 0x7fffff;
    if (e == 0) return m == 0;  // binary32 subnormals lie far below the smallest binary16
    const int exp = static_cast<int>(e) - 127;
    if (exp > 15 || exp < -24) return false;
    if (exp >= -14) return (m & 0x1fff) == 0;
    // A binary16 subnormal is k * 2**-24: the significand must lose only zero bits.
    const int shift = -(exp + 1);
    return ((m | 0x800000) & ((uint32_t{1} << shift) - 1)) == 0;
}

// The binary16 bits of a binary32 that single_fits_half accepts.
constexpr uint16_t half_from_single(uint32_t bits) {
    const uint32_t sign = (bits >> 16) & 0x8000;
    const uint32_t e = (bits >> 23) & 0xff;
    const uint32_t m = bits & 0x7fffff;
    if (e == 0) return static_cast<uint16_t>(sign);
    const int exp = static_cast<int>(e) - 127;
    if (exp >= -14) return static_cast<uint16_t>(sign | (static_cast<uint32_t>(exp + 15) << 10) | (m >> 13));
    return static_cast<uint16_t>(sign | ((m | 0x800000) >> -(exp + 1)));
}

// Whether a finite binary64 is exactly a binary32 value.
inline bool double_fits_single(double d) {
    return std::fabs(d) <= static_cast<double>(FLT_MAX) && static_cast<double>(static_cast<float>(d)) == d;
}

// The bits of a binary32 value.
inline uint32_t single_bits(float f) {
    uint32_t bits;
    memcpy(&bits, &f, sizeof bits);
    return bits;
}

static_assert(single_fits_half(0x3f800000) && half_from_single(0x3f800000) == 0x3c00, "1.0");
static_assert(single_fits_half(0x477fe000) && half_from_single(0x477fe000) == 0x7bff, "65504.0, the largest");
static_assert(!single_fits_half(0x477ff000), "65520.0 rounds to infinity");
static_assert(single_fits_half(0x33800000) && half_from_single(0x33800000) == 0x0001, "2**-24, the smallest");
static_assert(!single_fits_half(0x33000000), "2**-25 is below it");
static_assert(single_fits_half(0x80000000) && half_from_single(0x80000000) == 0x8000, "-0.0");

}  // namespace kelvo::float_width
