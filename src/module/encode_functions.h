// The module functions dump and dumps.
#pragma once

#include "lib/pyref.h"

namespace kelvo {

PyMethodDef *dump_def();
PyMethodDef *dumps_def();

}  // namespace kelvo
