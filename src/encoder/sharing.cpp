// The shared-value registry: containers being written, and values marked as shared.
#include "encoder/encoder.h"

namespace kelvo {

void registry_clear(EncoderObject *) {}

int registry_traverse(EncoderObject *, visitproc, void *) { return 0; }

}  // namespace kelvo
