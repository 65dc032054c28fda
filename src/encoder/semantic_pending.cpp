// Placeholders for the semantic encoders of dates and times, numbers, regular
// expressions, MIME messages, UUIDs and IP addresses; this unit goes away when they are
// written.
#include "encoder/semantic.h"
#include "tags/text_ip.h"

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
    not_yet,
    not_yet,
    not_yet,
    not_yet,
    encode_uuid,
    encode_regexp,
    encode_ipv4_address,
    encode_ipv4_network,
    encode_ipv4_interface,
    encode_ipv6_address,
    encode_ipv6_network,
    encode_ipv6_interface,
    encode_mime,
};

int encode_complex(EncoderObject *enc, PyObject *obj) { return not_yet(enc, obj); }

}  // namespace kelvo
