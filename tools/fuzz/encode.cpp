// Encoder fuzz target: a value built from the input, encoded with options from its first
// bytes and decoded back (kelvo_fuzz.encode_input).
#include "target.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    kelvo_fuzz::start("encode_input");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) { return kelvo_fuzz::test_one(data, size); }
