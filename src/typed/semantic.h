// Semantic values read and written without the general codec: datetimes, dates, UUIDs and
// Decimals, built and written exactly as `_kelvo.loads` and `_kelvo.dumps` (default options)
// build and write the same items.
#pragma once

#include "lib/pyref.h"
#include "lib/uuid_layout.h"

#include <datetime.h>

#include <cstddef>
#include <cstdint>

namespace kelvo::typed {

// What the module resolves once at import for these types. A member is null where the type is
// not the standard one (rebound or replaced): such values then take the general path.
struct SemanticKit {
    PyObject *datetime_capsule = nullptr;  // keeps `api` alive
    const PyDateTime_CAPI *api = nullptr;
    PyObject *utcoffset_name = nullptr;  // "utcoffset"
    uuid_layout::UuidLayout uuid;        // its type is uuid.UUID when that is the standard class
    PyObject *decimal_type = nullptr;    // decimal.Decimal, when it is the C implementation

    template <class F>
    void for_each_ref(F &&f) {
        f(datetime_capsule);
        f(utcoffset_name);
        f(uuid.type);
        f(uuid.int_slot);
        f(uuid.safe_slot);
        f(uuid.safe_default);
        f(decimal_type);
    }
};

// Fills the kit (importing datetime, uuid and decimal); -1 with the exception set.
int load_semantic_kit(SemanticKit &kit);

// ---- Reading (each returns a new reference, or nullptr: with an exception set on failure,
// without one where the text or bytes are not in the form read here, for the general path)

// "YYYY-MM-DDTHH:MM:SS[.ffffff](Z|+HH:MM|-HH:MM)", the aware form the decoder reads itself.
PyObject *parse_datetime(const SemanticKit &kit, const char *s, size_t n);
// "YYYY-MM-DD" with a valid date.
PyObject *parse_date(const SemanticKit &kit, const char *s, size_t n);
// uuid.UUID(bytes=raw) for 16 bytes.
PyObject *build_uuid(const SemanticKit &kit, const uint8_t *raw);
// Decimal for the decimal fraction [exponent, mantissa] of two 64-bit ints.
PyObject *build_decimal(const SemanticKit &kit, int64_t exponent, int64_t mantissa);

// ---- Writing (into `out`, at most kSemanticMax bytes; the length written, 0 where the value
// is not one these write themselves, -1 with the exception set)

constexpr size_t kSemanticMax = 96;

// An exact datetime, date, UUID or Decimal as dumps writes it.
Py_ssize_t write_semantic(const SemanticKit &kit, PyObject *o, uint8_t *out);

}  // namespace kelvo::typed
