// The six exception classes, each created on first use in a process-wide cell.
#pragma once

#include "lib/pyref.h"

namespace kelvo {

enum class Exc : int {
    CBORError,
    CBOREncodeError,
    CBOREncodeTypeError,
    CBOREncodeValueError,
    CBORDecodeError,
    CBORDecodeEOF,
    count_
};
constexpr int kExceptionCount = static_cast<int>(Exc::count_);

// Borrowed reference to the exception type (valid for the process's life), or NULL.
PyObject *exception_type(Exc which);

// Raises `which` with a fixed message. Always returns -1.
int raise_exc(Exc which, const char *message);
// Raises `which` with a printf-style (PyUnicode_FromFormat) message. Always returns -1.
int raise_exc_format(Exc which, const char *format, ...);

}  // namespace kelvo
