#include "types/exceptions.h"

#include "lib/errors.h"
#include "lib/once.h"

#include <cstdarg>

namespace kelvo {

namespace {

struct ExceptionSpec {
    const char *qualified_name;
    const char *doc;
    int base;  // index of the base exception, -1 for Exception
};

const ExceptionSpec kSpecs[kExceptionCount] = {
    {"kelvo.CBORError", "Base class for errors that occur during CBOR encoding or decoding.", -1},
    {"kelvo.CBOREncodeError", "Raised for exceptions occurring during CBOR encoding.", 0},
    {"kelvo.CBOREncodeTypeError", "Raised when attempting to encode a type that cannot be serialized.", 1},
    {"kelvo.CBOREncodeValueError", "Raised when the CBOR encoder encounters an invalid value.", 1},
    {"kelvo.CBORDecodeError", "Raised for exceptions occurring during CBOR decoding.", 0},
    {"kelvo.CBORDecodeEOF", "Raised when decoding unexpectedly reaches EOF.", 4},
};

OnceState g_once[kExceptionCount];
PyObject *g_types[kExceptionCount];

}  // namespace

PyObject *exception_type(Exc which) {
    int i = static_cast<int>(which);
    if (g_once[i].filled()) return g_types[i];
    const ExceptionSpec &spec = kSpecs[i];
    PyObject *base = spec.base < 0 ? PyExc_Exception : exception_type(static_cast<Exc>(spec.base));
    if (base == nullptr) return nullptr;
    return once_object(g_once[i], g_types[i], [&]() -> PyObject * {
        PyObject *t = PyErr_NewExceptionWithDoc(spec.qualified_name, spec.doc, base, nullptr);
        if (t == nullptr) {
            PyErr_Clear();
            raise_internal("Failed to initialize new exception type.");
        }
        return t;
    });
}

int raise_exc(Exc which, const char *message) {
    PyObject *t = exception_type(which);
    if (t != nullptr) PyErr_SetString(t, message);
    return -1;
}

int raise_exc_format(Exc which, const char *format, ...) {
    PyObject *t = exception_type(which);
    if (t == nullptr) return -1;
    va_list va;
    va_start(va, format);
    PyObject *msg = PyUnicode_FromFormatV(format, va);
    va_end(va);
    if (msg == nullptr) return -1;
    PyErr_SetObject(t, msg);
    Py_DECREF(msg);
    return -1;
}

}  // namespace kelvo
