// The module functions load() and loads().
#pragma once

#include "lib/pyref.h"

namespace kelvo {

extern PyMethodDef load_def;
extern PyMethodDef loads_def;

}  // namespace kelvo
