// The diagnostic-notation writer: one encoded item in, its notation exactly as encoded out.
#pragma once

#include "lib/pyref.h"

#include <cstddef>
#include <cstdint>

namespace kelvo::edn {

// The notation of the one item in data[0, size), as a new str: indefinite lengths as "_",
// chunked strings as "(_ ...)", heads longer than needed marked "_0".."_3" (with `widths`,
// every head with argument bytes and every float's precision), and with `pretty` the items
// of non-empty arrays and maps on indented lines. Data that is not exactly one well-formed
// item (or nests deeper than 100000 levels) raises ValueError without detail: the caller
// reads it again to name the fault.
PyObject *write_diag(const uint8_t *data, size_t size, bool widths, bool pretty);

}  // namespace kelvo::edn
