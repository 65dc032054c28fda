// Typed fuzz target: random data decoded into a type picked by the first byte, the native
// walker checked against the Python path (typed_fuzz.typed_input).
#include "target.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    kelvo_fuzz::start("typed_input");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) { return kelvo_fuzz::test_one(data, size); }
