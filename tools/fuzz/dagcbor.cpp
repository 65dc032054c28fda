// DAG-CBOR fuzz targets: kelvo._dagcbor linked in as a built-in module beside _kelvo, each
// input handed to dagcbor_fuzz.KELVO_FUZZ_ENTRY (dagcbor_input: the decoder and re-encoding;
// car_input: the CAR reader).
#include "target.h"

extern "C" PyObject *PyInit__dagcbor(void);

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (PyImport_AppendInittab("kelvo._dagcbor", PyInit__dagcbor) < 0) kelvo_fuzz::die("cannot register _dagcbor");
    kelvo_fuzz::start(KELVO_FUZZ_ENTRY, "dagcbor_fuzz");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) { return kelvo_fuzz::test_one(data, size); }
