// Force-included into the fuzzing build of the extension: kelvo's PyMem buffers come from
// the raw (malloc) domain instead of mimalloc, so that AddressSanitizer sees every access to
// them and LeakSanitizer every lost one. The signatures are the same, so the renamed
// declarations in Python.h stay valid.
#pragma once
#define PyMem_Malloc PyMem_RawMalloc
#define PyMem_Calloc PyMem_RawCalloc
#define PyMem_Realloc PyMem_RawRealloc
#define PyMem_Free PyMem_RawFree
