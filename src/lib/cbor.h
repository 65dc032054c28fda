// The CBOR vocabulary: major types, initial bytes of the simple values, and the tag numbers
// kelvo reads and writes, so that the wire format is named wherever it is written.
#pragma once

#include <cstdint>
#include <cstring>

namespace kelvo::cbor {

// Major types (the top three bits of an initial byte).
enum Major : unsigned {
    kUnsigned = 0,
    kNegative = 1,
    kBytes = 2,
    kText = 3,
    kArray = 4,
    kMap = 5,
    kTag = 6,
    kSimple = 7,
};

// Additional-information values of the low five bits.
inline constexpr uint8_t kInfo8 = 24;       // one argument byte follows
inline constexpr uint8_t kInfo16 = 25;      // two
inline constexpr uint8_t kInfo32 = 26;      // four
inline constexpr uint8_t kInfo64 = 27;      // eight
inline constexpr uint8_t kIndefinite = 31;  // an indefinite length (or the break code)

// Whole initial bytes of major type 7.
inline constexpr uint8_t kFalse = 0xf4;
inline constexpr uint8_t kTrue = 0xf5;
inline constexpr uint8_t kNull = 0xf6;
inline constexpr uint8_t kUndefined = 0xf7;
inline constexpr uint8_t kSimple8 = 0xf8;  // a simple value in the next byte
inline constexpr uint8_t kHalf = 0xf9;
inline constexpr uint8_t kSingle = 0xfa;
inline constexpr uint8_t kDouble = 0xfb;
inline constexpr uint8_t kBreak = 0xff;

// The initial byte of a header of major type `major` whose argument fits the byte itself.
constexpr uint8_t initial(Major major, uint8_t info) { return static_cast<uint8_t>(major << 5 | info); }

// Tag numbers.
// The big-endian argument of `width` bytes (1, 2, 4 or 8) at p.
inline uint64_t load_argument(const uint8_t *p, unsigned width) {
    switch (width) {
        case 1:
            return p[0];
        case 2: {
            uint16_t v;
            memcpy(&v, p, 2);
            return __builtin_bswap16(v);
        }
        case 4: {
            uint32_t v;
            memcpy(&v, p, 4);
            return __builtin_bswap32(v);
        }
        default: {
            uint64_t v;
            memcpy(&v, p, 8);
            return __builtin_bswap64(v);
        }
    }
}

// The smallest argument that needs additional information 24 + i (one, two, four, eight
// bytes): a smaller one written that way is not in its shortest form.
inline constexpr uint64_t kShortestFrom[4] = {24, 256, 65536, uint64_t{1} << 32};

namespace tag {
inline constexpr uint64_t kDatetimeText = 0;
inline constexpr uint64_t kDatetimeEpoch = 1;
inline constexpr uint64_t kPositiveBignum = 2;
inline constexpr uint64_t kNegativeBignum = 3;
inline constexpr uint64_t kDecimalFraction = 4;
inline constexpr uint64_t kBigfloat = 5;
inline constexpr uint64_t kStringReference = 25;
inline constexpr uint64_t kShareable = 28;
inline constexpr uint64_t kSharedReference = 29;
inline constexpr uint64_t kRational = 30;
inline constexpr uint64_t kRegexp = 35;
inline constexpr uint64_t kMime = 36;
inline constexpr uint64_t kUuid = 37;
inline constexpr uint64_t kIPv4 = 52;
inline constexpr uint64_t kIPv6 = 54;
inline constexpr uint64_t kDateEpoch = 100;
inline constexpr uint64_t kStringNamespace = 256;
inline constexpr uint64_t kSet = 258;
inline constexpr uint64_t kIPAddress = 260;
inline constexpr uint64_t kIPNetwork = 261;
inline constexpr uint64_t kDateText = 1004;
inline constexpr uint64_t kComplex = 43000;
inline constexpr uint64_t kSelfDescribed = 55799;
}  // namespace tag

}  // namespace kelvo::cbor
