// Decoder fuzz target: loads() and a CBORDecoder over a stream with short reads, options
// from the first bytes of the input (kelvo_fuzz.decode_input).
#include "target.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    kelvo_fuzz::start("decode_input");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) { return kelvo_fuzz::test_one(data, size); }
