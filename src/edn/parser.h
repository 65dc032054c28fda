// The diagnostic-notation (EDN) reader: text in, the exact CBOR bytes it describes out.
#pragma once

#include "lib/pyref.h"

#include <cstddef>

namespace kelvo::edn {

// Parses `size` bytes of UTF-8 text as one item (or, with `seq`, a sequence of items
// separated by commas or blank space) and returns the encoded bytes, or NULL with an
// exception set. Syntax faults raise `error_type` with "line L, column C: ..." and the
// attributes line, column and reason. Nesting (arrays, maps, tags, chunked strings, embedded
// items) deeper than `max_depth` is refused. Application-extension literals other than h''
// and b64'' are handed to `app_hook(prefix, data)`, `data` being the CBOR sequence of the
// literal's input; it returns the encoded item, or raises ValueError with a message naming
// the fault (reported at the literal).
PyObject *parse(PyObject *error_type, PyObject *app_hook, const char *text, size_t size, bool seq,
                Py_ssize_t max_depth);

}  // namespace kelvo::edn
