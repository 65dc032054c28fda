// Placeholders for the semantic encoders of dates and times, numbers, regular
// expressions, MIME messages, UUIDs and IP addresses; this unit goes away when they are
// written.
#include "encoder/semantic.h"
#include "tags/datetimes.h"
#include "tags/numbers.h"

namespace kelvo {

namespace {

int not_yet(EncoderObject *, PyObject *obj) {
    Ref name(PyObject_Str(reinterpret_cast<PyObject *>(Py_TYPE(obj))));
    if (!name) return -1;
    PyErr_Format(PyExc_NotImplementedError, "encoding %U is not implemented yet", name.get());
    return -1;
}

}  // namespace

const SemanticEncoder kStdlibEncoders[stdlib::kEncoderRows] = {
    encode_datetime, encode_date, encode_decimal, encode_rational, not_yet, not_yet, not_yet,
    not_yet, not_yet, not_yet, not_yet, not_yet, not_yet,
};

}  // namespace kelvo
