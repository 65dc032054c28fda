// Codecs of regular expressions, MIME messages and UUIDs (tags 35 to 37) and of IP
// addresses, networks and interfaces (tags 52, 54, 260, 261), in both directions.
#pragma once

#include "encoder/encoder.h"

namespace kelvo {

// Encoders: called with no access held on the encoder; 0, or -1 with the exception set.
int encode_regexp(EncoderObject *enc, PyObject *obj);
int encode_mime(EncoderObject *enc, PyObject *obj);
int encode_uuid(EncoderObject *enc, PyObject *obj);
int encode_ipv4_address(EncoderObject *enc, PyObject *obj);
int encode_ipv4_network(EncoderObject *enc, PyObject *obj);
int encode_ipv4_interface(EncoderObject *enc, PyObject *obj);
int encode_ipv6_address(EncoderObject *enc, PyObject *obj);
int encode_ipv6_network(EncoderObject *enc, PyObject *obj);
int encode_ipv6_interface(EncoderObject *enc, PyObject *obj);

// Tag decoders (TagDecoder): a new reference, or NULL with the exception set.
PyObject *decode_regexp(PyObject *payload, bool immutable);
PyObject *decode_mime(PyObject *payload, bool immutable);
PyObject *decode_uuid(PyObject *payload, bool immutable);
PyObject *decode_ipv4(PyObject *payload, bool immutable);
PyObject *decode_ipv6(PyObject *payload, bool immutable);
PyObject *decode_ip_address(PyObject *payload, bool immutable);
PyObject *decode_ip_network(PyObject *payload, bool immutable);

}  // namespace kelvo
