// Encoders of the standard-library types the dispatch recognises by exact type (one per
// StdlibEncoderTable row, in row order) and of complex numbers. Each is called with no
// access held on the encoder and returns 0, or -1 with the exception set.
#pragma once

#include "encoder/encoder.h"
#include "types/stdlib.h"

namespace kelvo {

using SemanticEncoder = int (*)(EncoderObject *enc, PyObject *obj);

extern const SemanticEncoder kStdlibEncoders[stdlib::kEncoderRows];

int encode_complex(EncoderObject *enc, PyObject *obj);

}  // namespace kelvo
