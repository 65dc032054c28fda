// SliceRun: the slices of a scanned sequence decoded by any number of threads at once, the
// items put in place in one list.
#pragma once

#include "lib/pyref.h"

namespace kelvo::scan {

// The SliceRun type, made for module `m`. New reference or NULL.
PyObject *make_slice_run_type(PyObject *m);

}  // namespace kelvo::scan
